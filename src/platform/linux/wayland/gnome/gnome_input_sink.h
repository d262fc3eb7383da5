#pragma once

#include <memory>

#include "core/input/input_event_sink.h"
#include "platform/linux/wayland/gnome/mutter_session.h"

namespace quorvanta::wayland {

// Remote input on GNOME Wayland through the running remote-desktop session: absolute pointer
// motion on the recorded monitor, evdev buttons, smooth scrolling in pixels, keys by evdev code
// at the client's key positions, and text by keysym so that neither the layout nor Caps Lock
// changes it. Without a session (no stream) events are dropped.
class GnomeInputSink final : public InputEventSink {
 public:
  explicit GnomeInputSink(std::shared_ptr<MutterBus> bus) : bus_(std::move(bus)) {}
  void emit(const InputEvent& event) override;

 private:
  std::shared_ptr<MutterBus> bus_;
};

}  // namespace quorvanta::wayland
