#pragma once

#include <gio/gio.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "child_process.h"
#include "core/video/capture_service.h"
#include "fake_bus_service.h"

namespace quorvanta::test {

// Waits until `done` holds, at most `seconds`, running `io` meanwhile when one is given (its
// run_for() returns at once while nothing is queued, so the wait goes by the clock).
template <typename Predicate>
bool waitFor(Predicate done, double seconds, asio::io_context* io = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    if (io != nullptr) {
      io->restart();
      io->run_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// A headless GNOME session for one test: a private session bus, a private runtime directory
// (0700), PipeWire, WirePlumber and `mutter --headless` with one 1280x720 virtual monitor
// ("Meta-0"), started in that order. This process's XDG_RUNTIME_DIR points at the directory while
// it lives, so that PipeWire clients here reach that PipeWire. A stand-in for the system's locale
// service on the same bus gives mutter the keyboard layout `layout` (XKB name, e.g. "fr").
// Keeps what a capture stream delivered: the last picture, how many samples came, and the
// sentence it stopped with.
class FrameRecorder final : public CaptureStreamOutput {
 public:
  void didOutputSample(const CaptureStream&, const CaptureSample& sample, SampleType) override {
    if (sample.image) last = sample.image;
    ++frames;
  }
  void didStopWithError(const CaptureStream&, const std::string& message) override { stopped = message; }

  int frames = 0;
  PixelBufferRef last;
  std::string stopped;
};

class HeadlessGnome {
 public:
  // available() is false when mutter or PipeWire is not installed or did not come up.
  explicit HeadlessGnome(std::string layout = "us");
  ~HeadlessGnome();
  HeadlessGnome(const HeadlessGnome&) = delete;
  HeadlessGnome& operator=(const HeadlessGnome&) = delete;

  bool available() const { return available_; }
  std::string busAddress() const;
  const std::filesystem::path& runtimeDirectory() const { return runtime_; }
  static const char* waylandDisplay();
  std::string mutterLog() const { return mutter_ ? mutter_->output() : ""; }
  // Starts the test client (a full-screen window of a known colour that prints the input it gets)
  // on this session's Wayland display.
  std::unique_ptr<ChildProcess> startClient(const std::string& executable) const;

 private:
  GTestDBus* bus_ = nullptr;
  std::filesystem::path runtime_;
  std::string previousRuntime_;
  std::string layout_;
  std::unique_ptr<testing::FakeBusService> locale_;
  std::unique_ptr<ChildProcess> pipewire_;
  std::unique_ptr<ChildProcess> wireplumber_;
  std::unique_ptr<ChildProcess> mutter_;
  bool available_ = false;
};

}  // namespace quorvanta::test
