#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "core/host/presence.h"
#include "core/host/privacy_curtain.h"
#include "core/input/clipboard.h"
#include "core/input/input_event_sink.h"
#include "core/trust/secure_store.h"

namespace quorvanta {

class ScreenStreamer;

// The desktop services the host model needs, reached through one object so that the model can be
// built and exercised without a desktop. Every function is called on the host's main executor,
// except lookupTailscaleAddress(), which blocks and runs on a background thread.
class HostEnvironment {
 public:
  virtual ~HostEnvironment() = default;

  // Where the credentials live. The store outlives every identity and registry made on it.
  virtual SecureStore& secureStore() = 0;
  // The directory that holds the host identity's files.
  virtual std::filesystem::path credentialsDirectory() = 0;

  // This machine's Tailscale IPv4 address, or "" when it has none. Blocking; never throws.
  virtual std::string lookupTailscaleAddress() = 0;

  // Whether the screen can be captured, asked without any prompt.
  virtual bool screenCaptureAllowed() = 0;
  // Whether input events may be posted.
  virtual bool inputInjectionAllowed() = 0;
  // Asks the desktop for capture permission where it has such a thing. Returns the sentence to
  // show when there is nothing the user can grant, or "" when a request was made.
  virtual std::string requestScreenCapture() = 0;
  // The sentence a client receives with "hostPermission" when this machine cannot capture, or ""
  // for the usual one about the capture permission.
  virtual std::string captureRefusal() { return ""; }

  // The name this computer shows to devices it invites.
  virtual std::string computerName() = 0;

  // Opening the host at login. setLoginItemEnabled throws QuorvantaError with a sentence.
  virtual bool loginItemEnabled() = 0;
  virtual void setLoginItemEnabled(bool enabled) = 0;

  // The screen streamer sessions capture with, or nullptr when this machine cannot capture.
  virtual std::shared_ptr<ScreenStreamer> screenStreamer() = 0;

  // Where remote input goes, and the area of a display in the coordinates events use; nullptr
  // when input cannot be posted on this machine.
  virtual std::shared_ptr<InputEventSink> inputSink() = 0;
  virtual DisplayRect displayBounds(DisplayID display) = 0;
  // The desktop's clipboard, or nullptr when there is none.
  virtual std::shared_ptr<Clipboard> clipboard() = 0;

  // Idle-sleep holds, display state, screen lock and the watch on local input; nullptr when the
  // machine offers none of it.
  virtual std::shared_ptr<PresenceService> presence() = 0;
  // The windows that hide the local screens during a session; nullptr without a desktop
  // application to show them.
  virtual std::shared_ptr<PrivacyCurtain> curtain() = 0;
};

}  // namespace quorvanta
