#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "core/util/unique_fd.h"
#include "platform/linux/wayland/portal/portal_connection.h"
#include "platform/linux/wayland/remote_input_sink.h"

namespace quorvanta::wayland {

// How the desktop portal is asked to share the screen.
struct PortalSettings {
  std::string busAddress;
  // Where the restore token is kept (0600), so that an approval holds for later sessions.
  std::filesystem::path tokenFile;
  // The portal's RemoteDesktop version: 0 when it has none (the screen is shared without input),
  // 1 when the person must allow each session, 2 and later when an approval persists.
  unsigned remoteDesktopVersion = 0;
  // How long the person has to answer the dialog.
  std::chrono::milliseconds approvalWait = std::chrono::minutes(2);
};

class PortalDesktop;

// One approved portal session sharing one monitor, with remote input when the portal offers it.
// It is closed when destroyed.
class PortalSession final : public RemoteInput {
 public:
  ~PortalSession() override;
  PortalSession(const PortalSession&) = delete;
  PortalSession& operator=(const PortalSession&) = delete;

  std::uint32_t node() const { return node_; }
  int width() const { return width_; }
  int height() const { return height_; }
  // A PipeWire remote that shows this session's stream.
  UniqueFd openPipeWireRemote() { return portal_->openPipeWireRemote(handle_); }

  void pointerMotion(double x, double y) override;
  void pointerButton(std::int32_t evdevButton, bool pressed) override;
  void pointerAxis(double dx, double dy) override;
  void keyboardKeycode(std::uint32_t evdevKey, bool pressed) override;
  void keyboardKeysym(std::uint32_t keysym, bool pressed) override;

 private:
  friend class PortalDesktop;
  PortalSession(std::shared_ptr<PortalConnection> portal, const PortalSettings& settings);
  void notify(const char* method, GVariant* parameters);

  std::shared_ptr<PortalConnection> portal_;
  bool input_ = false;
  std::string handle_;
  std::uint32_t node_ = 0;
  int width_ = 0;
  int height_ = 0;
};

// The host's one portal session at a time, started when a capture needs it (the portal shows its
// dialog unless a kept restore token lets it restore the approval) and kept for the captures
// that follow.
class PortalDesktop {
 public:
  // Connects to the session bus. Throws std::runtime_error with a sentence.
  explicit PortalDesktop(PortalSettings settings);

  // The running session, or a new one. Throws PortalRefusal (the person declined; nothing is
  // remembered) or std::runtime_error.
  std::shared_ptr<PortalSession> session();
  // The session input goes to, or null.
  std::shared_ptr<PortalSession> currentSession();
  // Closes the session, e.g. when its stream ended.
  void forget(const std::shared_ptr<PortalSession>& session);

 private:
  const PortalSettings settings_;
  const std::shared_ptr<PortalConnection> portal_;
  std::mutex starting_;  // one dialog at a time
  std::mutex lock_;
  std::shared_ptr<PortalSession> current_;  // guarded by lock_
};

}  // namespace quorvanta::wayland
