#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/input/input_event_sink.h"

namespace quorvanta::wayland {

// The input calls a Wayland desktop's remote-desktop session takes (GNOME's own API or the
// desktop portal): absolute pointer motion on the recorded stream, evdev buttons and keys,
// smooth scrolling in pixels and keysyms.
class RemoteInput {
 public:
  virtual ~RemoteInput() = default;
  virtual void pointerMotion(double x, double y) = 0;
  virtual void pointerButton(std::int32_t evdevButton, bool pressed) = 0;
  virtual void pointerAxis(double dx, double dy) = 0;
  virtual void keyboardKeycode(std::uint32_t evdevKey, bool pressed) = 0;
  virtual void keyboardKeysym(std::uint32_t keysym, bool pressed) = 0;
};

// Remote input through the running remote-desktop session that `session` returns: keys by evdev
// code at the client's key positions, and text by keysym so that neither the layout nor Caps
// Lock changes it. Without a session events are dropped.
class RemoteInputSink final : public InputEventSink {
 public:
  using SessionSource = std::function<std::shared_ptr<RemoteInput>()>;
  explicit RemoteInputSink(SessionSource session) : session_(std::move(session)) {}
  void emit(const InputEvent& event) override;

 private:
  SessionSource session_;
};

}  // namespace quorvanta::wayland
