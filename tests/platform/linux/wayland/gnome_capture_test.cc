#include "platform/linux/wayland/gnome/gnome_capture_service.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <atomic>
#include <thread>

#include "headless_gnome.h"
#include "platform/linux/wayland/remote_input_sink.h"
#include "run_awaitable.h"

namespace quorvanta::wayland {
namespace {

// Runs `io` until `done` holds, at most `seconds`.
template <typename Predicate>
bool runUntil(asio::io_context& io, Predicate done, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    io.restart();
    io.run_for(std::chrono::milliseconds(20));
    // run_for() returns at once while nothing is queued.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

TEST(GnomeCapture, RecordsTheMonitorAndFollowsThePointer) {
  test::HeadlessGnome gnome;
  if (!gnome.available()) GTEST_SKIP() << "no headless GNOME session here";
  asio::io_context io;
  const auto bus = MutterBus::connect(gnome.busAddress());
  GnomeCaptureService service(bus);

  const auto content = test::runAwaitable<ShareableContent>(
      io, [&] { return service.shareableContent(); }, std::chrono::seconds(10));
  ASSERT_EQ(content.displays.size(), 1u);
  const CaptureDisplay display = content.displays[0];
  EXPECT_EQ(display.id, displayIdentifier("Meta-0"));
  EXPECT_EQ(display.width, 1280);
  EXPECT_EQ(display.height, 720);
  EXPECT_EQ(service.displayName(display.id), "MetaVendor");

  auto recorder = std::make_shared<test::FrameRecorder>();
  const auto stream = service.makeStream({display.id, {}}, {640, 360, 30}, recorder, io.get_executor());
  test::runAwaitable<bool>(
      io,
      [&]() -> asio::awaitable<bool> {
        co_await stream->startCapture();
        co_return true;
      },
      std::chrono::seconds(10));
  ASSERT_TRUE(runUntil(
      io, [&] { return recorder->last != nullptr; }, 10))
      << gnome.mutterLog();
  EXPECT_EQ(recorder->last->width, 640);
  EXPECT_EQ(recorder->last->height, 360);

  // A still screen sends nothing new; moving the pointer (drawn into the frames) does.
  RemoteInputSink input([&] { return bus->currentSession(); });
  const int before = recorder->frames;
  input.emit(MouseMoveEvent{{600, 300}, std::nullopt, 0});
  EXPECT_TRUE(runUntil(
      io, [&] { return recorder->frames > before; }, 10));
  EXPECT_TRUE(recorder->stopped.empty());

  test::runAwaitable<bool>(
      io,
      [&]() -> asio::awaitable<bool> {
        co_await stream->stopCapture();
        co_return true;
      },
      std::chrono::seconds(10));
  // The remote-desktop session stays for the next capture of the monitor, which reuses it.
  const auto session = bus->currentSession();
  ASSERT_NE(session, nullptr);
  const auto again = service.makeStream({display.id, {}}, {640, 360, 30}, recorder, io.get_executor());
  recorder->last.reset();
  test::runAwaitable<bool>(
      io,
      [&]() -> asio::awaitable<bool> {
        co_await again->startCapture();
        co_return true;
      },
      std::chrono::seconds(10));
  EXPECT_EQ(bus->currentSession(), session);
  EXPECT_TRUE(runUntil(
      io, [&] { return recorder->last != nullptr; }, 10));
}

}  // namespace
}  // namespace quorvanta::wayland
