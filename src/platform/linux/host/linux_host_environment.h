#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/host/host_environment.h"
#include "core/host/login_item.h"
#include "platform/linux/wayland/desktop_backend.h"

namespace quorvanta {
namespace x11 {
class X11DisplayBounds;
}
namespace wayland {
class MutterBus;
class GnomeCaptureService;
class PortalDesktop;
class PortalCaptureService;
}  // namespace wayland

// The host's services on a Linux desktop:
// - credentials in the desktop keyring, or in private files where there is none;
// - the Tailscale address from `tailscale ip -4` found on PATH;
// - capture is possible when the X display named by $DISPLAY can be reached (X11 has no
//   per-application permission to grant), and input can be posted when it has the XTEST extension;
// - opening at login through an XDG autostart entry for `executable`;
// - the screen streamer over X11 capture and libavcodec, made on first use.
// The session's backend decides which desktop API serves capture, input, the clipboard and the
// curtain; a Wayland session never uses its X display (XWayland shows only X clients).
class LinuxHostEnvironment final : public HostEnvironment {
 public:
  LinuxHostEnvironment(std::filesystem::path executable, std::filesystem::path dataDirectory,
                       wayland::BackendChoice backend, std::string tailscaleProgram = "tailscale");
  ~LinuxHostEnvironment() override;

  SecureStore& secureStore() override { return *store_; }
  std::filesystem::path credentialsDirectory() override { return dataDirectory_; }
  std::string lookupTailscaleAddress() override;
  bool screenCaptureAllowed() override;
  bool inputInjectionAllowed() override;
  std::string requestScreenCapture() override;
  std::string captureRefusal() override;
  std::string computerName() override;
  bool loginItemEnabled() override { return loginItem_.isEnabled(); }
  void setLoginItemEnabled(bool enabled) override { loginItem_.setEnabled(enabled); }
  std::shared_ptr<ScreenStreamer> screenStreamer() override;
  std::shared_ptr<InputEventSink> inputSink() override;
  DisplayRect displayBounds(DisplayID display) override;
  std::shared_ptr<Clipboard> clipboard() override;
  std::shared_ptr<PresenceService> presence() override { return presence_; }
  std::shared_ptr<PrivacyCurtain> curtain() override;

  const wayland::BackendChoice& backend() const { return backend_; }

  // Set by the application before the host model is made.
  void setPresence(std::shared_ptr<PresenceService> presence) { presence_ = std::move(presence); }
  void setCurtain(std::shared_ptr<PrivacyCurtain> curtain) { curtain_ = std::move(curtain); }

 private:
  // The same services on a Wayland session (linux_host_environment_wayland.cc).
  bool waylandCaptureAllowed();
  bool waylandInputAllowed();
  std::string waylandCaptureRequest();
  std::shared_ptr<ScreenStreamer> waylandStreamer();
  std::shared_ptr<InputEventSink> waylandInputSink();
  DisplayRect waylandDisplayBounds(DisplayID display);
  std::shared_ptr<Clipboard> waylandClipboard();
  std::shared_ptr<wayland::MutterBus> mutterBus();
  std::shared_ptr<wayland::PortalDesktop> portalDesktop();

  struct DisplayCheck {
    bool reachable = false;
    bool xtest = false;
  };
  // The display's state, asked again at most once a second: input asks before every event.
  DisplayCheck checkDisplay();
  static DisplayCheck queryDisplay();

  bool onX11() const { return backend_.backend == wayland::DesktopBackend::x11; }

  wayland::BackendChoice backend_;
  std::filesystem::path dataDirectory_;
  std::string tailscaleProgram_;
  std::unique_ptr<SecureStore> store_;
  LoginItem loginItem_;
  std::shared_ptr<ScreenStreamer> streamer_;
  std::mutex displayLock_;
  std::optional<DisplayCheck> lastCheck_;
  std::chrono::steady_clock::time_point lastCheckTime_;
  std::unique_ptr<x11::X11DisplayBounds> bounds_;  // guarded by displayLock_
  std::shared_ptr<PresenceService> presence_;
  std::shared_ptr<PrivacyCurtain> curtain_;
  // GNOME: the one connection Mutter's sessions live on, made on first use. Main executor.
  std::shared_ptr<wayland::MutterBus> mutter_;
  std::shared_ptr<wayland::GnomeCaptureService> gnomeCapture_;
  // The desktop portal: the one session it approved at a time, made on first use. Main executor.
  std::shared_ptr<wayland::PortalDesktop> portal_;
  std::shared_ptr<wayland::PortalCaptureService> portalCapture_;
};

}  // namespace quorvanta
