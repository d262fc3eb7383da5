#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/input/input_event_sink.h"
#include "platform/linux/wayland/remote_input_sink.h"

namespace quorvanta::wayland {

// One monitor as Mutter's display configuration lists it, in logical (layout) coordinates.
struct MutterMonitor {
  std::string connector;  // e.g. "Meta-0", "HDMI-1"
  std::string name;       // the display name Mutter shows
  int x = 0;
  int y = 0;
  int width = 0;  // of the current mode, in pixels
  int height = 0;
};

// A display's 32-bit identifier, stable for a connector across restarts: FNV-1a of its name,
// never 0.
DisplayID displayIdentifier(const std::string& connector);

class MutterBus;

// One remote-desktop session of Mutter's with the linked screen cast of one monitor. Input goes
// through it while it lives; it stops when destroyed. Calls may come from any thread.
class RemoteDesktopSession final : public RemoteInput {
 public:
  ~RemoteDesktopSession() override;
  RemoteDesktopSession(const RemoteDesktopSession&) = delete;
  RemoteDesktopSession& operator=(const RemoteDesktopSession&) = delete;

  std::uint32_t pipeWireNode() const { return node_; }
  const std::string& connector() const { return connector_; }

  // Input on the recorded monitor; each is one asynchronous call, in order.
  void pointerMotion(double x, double y) override;
  void pointerButton(std::int32_t evdevButton, bool pressed) override;
  void pointerAxis(double dx, double dy) override;
  void keyboardKeycode(std::uint32_t evdevKey, bool pressed) override;
  void keyboardKeysym(std::uint32_t keysym, bool pressed) override;

  // The clipboard through the session: offers `text` to applications that paste (UTF-8), and
  // reads the clipboard's text within `limit` (at most `maxBytes`), or nothing.
  void offerText(std::string text);
  std::optional<std::string> readText(std::chrono::milliseconds limit, std::size_t maxBytes);

  // Stops the session in Mutter; input is dropped from then on. Idempotent.
  void stop();
  // Whether it was stopped here or closed by Mutter.
  bool stopped();

 private:
  friend class MutterBus;
  RemoteDesktopSession(std::shared_ptr<MutterBus> bus, std::string connector);
  void notify(const char* method, void* parameters);
  void markClosed();
  // On the bus thread: an application pastes what this session offered.
  void transfer(std::uint32_t serial);
  // On the bus thread: whether this session owns the clipboard now.
  void ownerChanged(bool ours);

  std::shared_ptr<MutterBus> bus_;
  std::string connector_;
  std::string sessionPath_;
  std::string streamPath_;
  std::uint32_t node_ = 0;
  unsigned closedSubscription_ = 0;
  unsigned transferSubscription_ = 0;
  unsigned ownerSubscription_ = 0;
  std::mutex clipboardLock_;
  std::string offered_;         // guarded by clipboardLock_
  bool ownsSelection_ = false;  // guarded by clipboardLock_
  std::mutex stopLock_;
  bool stopped_ = false;  // guarded by stopLock_
};

// The one connection to the session bus that every Mutter session of this host lives on (Mutter
// ends a connection's sessions when it closes), with a thread that receives its signals. At most
// one remote-desktop session exists at a time: Mutter drops a second session's pointer events.
class MutterBus : public std::enable_shared_from_this<MutterBus> {
 public:
  // Connects to the bus at `address`. Throws std::runtime_error with a sentence.
  static std::shared_ptr<MutterBus> connect(const std::string& address);
  ~MutterBus();
  MutterBus(const MutterBus&) = delete;
  MutterBus& operator=(const MutterBus&) = delete;

  // The monitors that are on, in Mutter's order. Throws std::runtime_error.
  std::vector<MutterMonitor> monitors();

  // Returns the current session when it records `connector`; otherwise stops it (whoever still
  // holds it) and records `connector` in a new one with the cursor
  // drawn in and waits for its PipeWire stream. `onClosed` runs (on the bus thread) if Mutter closes the
  // session. Throws std::runtime_error with a sentence.
  std::shared_ptr<RemoteDesktopSession> startSession(const std::string& connector,
                                                     std::function<void()> onClosed);
  // The session input goes to, or null.
  std::shared_ptr<RemoteDesktopSession> currentSession();

 private:
  friend class RemoteDesktopSession;
  struct Impl;
  explicit MutterBus(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
  std::mutex lock_;
  std::shared_ptr<RemoteDesktopSession> current_;  // guarded by lock_
};

}  // namespace quorvanta::wayland
