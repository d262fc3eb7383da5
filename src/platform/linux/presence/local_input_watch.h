#pragma once

// Keyboard and pointer activity of the people at the X display, seen as XInput2 raw events.

#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <asio/any_io_executor.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "core/host/presence.h"
#include "core/util/unique_fd.h"
#include "platform/linux/x11/xcb_handles.h"

namespace quorvanta::presence {

// Watches raw key presses, button presses (wheel included) and motion on every master device from
// a thread and a connection of its own, and posts the callback to the main executor for each
// event that did not come through a core XTEST device, at most once per `kQuietPeriod`. Destroy
// it on the main executor; the callback is not called once destruction has begun and may itself
// destroy the watch.
class LocalInputWatch final : public PresenceHold {
 public:
  static constexpr std::chrono::milliseconds kQuietPeriod{100};

  // Null when the display cannot be reached or lacks XInput 2.2.
  static std::unique_ptr<LocalInputWatch> start(const std::string& display, asio::any_io_executor main,
                                                std::function<void()> onLocalInput);
  ~LocalInputWatch() override;
  LocalInputWatch(const LocalInputWatch&) = delete;
  LocalInputWatch& operator=(const LocalInputWatch&) = delete;

 private:
  struct Shared {
    std::atomic<bool> active{true};
    std::function<void()> onLocalInput;
  };

  LocalInputWatch(x11::Connection connection, std::uint8_t opcode, UniqueFd wakeRead, UniqueFd wakeWrite,
                  asio::any_io_executor main, std::function<void()> onLocalInput,
                  std::set<xcb_input_device_id_t> injectionDevices);
  void run();
  // Whether the event is a person's input; refreshes the device list on hierarchy changes.
  bool isLocalInput(const xcb_generic_event_t& event);

  x11::Connection connection_;
  std::uint8_t opcode_;  // the XInput extension's major opcode
  UniqueFd wakeRead_;
  UniqueFd wakeWrite_;
  asio::any_io_executor main_;
  std::shared_ptr<Shared> shared_;
  std::set<xcb_input_device_id_t> injectionDevices_;  // the watch thread's, once it runs
  std::thread thread_;
};

}  // namespace quorvanta::presence
