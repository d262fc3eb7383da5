#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <gio/gio.h>

#include "child_process.h"

namespace quorvanta::test {

// A headless GNOME session for one test: a private session bus, a private runtime directory
// (0700), PipeWire, WirePlumber and `mutter --headless` with one 1280x720 virtual monitor
// ("Meta-0"), started in that order. This process's XDG_RUNTIME_DIR points at the directory while
// it lives, so that PipeWire clients here reach that PipeWire.
class HeadlessGnome {
 public:
  // available() is false when mutter or PipeWire is not installed or did not come up.
  HeadlessGnome();
  ~HeadlessGnome();
  HeadlessGnome(const HeadlessGnome&) = delete;
  HeadlessGnome& operator=(const HeadlessGnome&) = delete;

  bool available() const { return available_; }
  std::string busAddress() const;
  std::string mutterLog() const { return mutter_ ? mutter_->output() : ""; }

 private:
  GTestDBus* bus_ = nullptr;
  std::filesystem::path runtime_;
  std::string previousRuntime_;
  std::unique_ptr<ChildProcess> pipewire_;
  std::unique_ptr<ChildProcess> wireplumber_;
  std::unique_ptr<ChildProcess> mutter_;
  bool available_ = false;
};

}  // namespace quorvanta::test
