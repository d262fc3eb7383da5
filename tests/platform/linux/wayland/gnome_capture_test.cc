#include "platform/linux/wayland/gnome/gnome_capture_service.h"

#include <gtest/gtest.h>

#include "headless_gnome.h"
#include "platform/linux/wayland/remote_input_sink.h"
#include "run_awaitable.h"

namespace quorvanta::wayland {
namespace {

void run(asio::io_context& io, std::function<asio::awaitable<void>()> operation) {
  test::runAwaitable<bool>(
      io,
      [&]() -> asio::awaitable<bool> {
        co_await operation();
        co_return true;
      },
      std::chrono::seconds(10));
}

TEST(GnomeCapture, RecordsTheMonitorOnChangeAndReusesItsSession) {
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
  run(io, [&] { return stream->startCapture(); });
  ASSERT_TRUE(test::waitFor([&] { return recorder->last != nullptr; }, 10, &io)) << gnome.mutterLog();
  EXPECT_EQ(recorder->last->width, 640);
  EXPECT_EQ(recorder->last->height, 360);

  // A still screen sends nothing new; moving the pointer (drawn into the frames) does.
  RemoteInputSink input([&] { return bus->currentSession(); });
  const int before = recorder->frames;
  input.emit(MouseMoveEvent{{600, 300}, std::nullopt, 0});
  EXPECT_TRUE(test::waitFor([&] { return recorder->frames > before; }, 10, &io));
  EXPECT_TRUE(recorder->stopped.empty());

  // The remote-desktop session stays for the next capture of the monitor, which reuses it.
  run(io, [&] { return stream->stopCapture(); });
  const auto session = bus->currentSession();
  ASSERT_NE(session, nullptr);
  const auto again = service.makeStream({display.id, {}}, {640, 360, 30}, recorder, io.get_executor());
  recorder->last.reset();
  run(io, [&] { return again->startCapture(); });
  EXPECT_EQ(bus->currentSession(), session);
  EXPECT_TRUE(test::waitFor([&] { return recorder->last != nullptr; }, 10, &io));
}

}  // namespace
}  // namespace quorvanta::wayland
