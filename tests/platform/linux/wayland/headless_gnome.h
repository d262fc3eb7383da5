#pragma once

#include <gio/gio.h>

#include <filesystem>
#include <memory>
#include <string>

#include "child_process.h"
#include "core/host/host_test_directory.h"
#include "fake_bus_service.h"

namespace quorvanta::test {

// A headless GNOME session for one test: a private session bus, a private runtime directory
// (0700), PipeWire, WirePlumber and `mutter --headless` with one 1280x720 virtual monitor
// ("Meta-0"), started in that order. A stand-in for the system's locale
// service on the same bus gives mutter the keyboard layout `layout` (XKB name, e.g. "fr").
class HeadlessGnome {
 public:
  // available() is false when mutter or PipeWire is not installed or did not come up.
  explicit HeadlessGnome(std::string layout);

  bool available() const { return available_; }
  std::string busAddress() const;
  const std::filesystem::path& runtimeDirectory() const { return runtime_.path(); }
  static constexpr const char* kWaylandDisplay = "quorvanta-test";

 private:
  // Declared in the order they start, so that they stop in reverse.
  ScratchDirectory runtime_;
  std::string layout_;
  std::unique_ptr<GTestDBus, void (*)(GTestDBus*)> bus_{nullptr, [](GTestDBus* bus) {
                                                          g_test_dbus_down(bus);
                                                          g_object_unref(bus);
                                                        }};
  std::unique_ptr<testing::FakeBusService> locale_;
  std::unique_ptr<ChildProcess> pipewire_;
  std::unique_ptr<ChildProcess> wireplumber_;
  std::unique_ptr<ChildProcess> mutter_;
  bool available_ = false;
};

}  // namespace quorvanta::test
