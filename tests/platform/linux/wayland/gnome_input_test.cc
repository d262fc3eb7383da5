#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <thread>

#include "headless_gnome.h"
#include "platform/linux/wayland/gnome/gnome_capture_service.h"
#include "platform/linux/wayland/remote_input_sink.h"
#include "run_awaitable.h"

namespace quorvanta::wayland {
namespace {

// Waits (bounded) until the client has printed `line`.
bool printed(const test::ChildProcess& client, const std::string& line) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (client.output().find(line + "\n") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// On a French (AZERTY) layout: keys go by the client's key positions, text by character.
TEST(GnomeInput, TheClientSeesItsColourAndReceivesPointerKeysAndText) {
  test::HeadlessGnome gnome("fr");
  if (!gnome.available()) GTEST_SKIP() << "no headless GNOME session here";
  const auto client = gnome.startClient(QUORVANTA_WAYLAND_TEST_CLIENT);
  ASSERT_TRUE(printed(*client, "ready")) << client->output();

  asio::io_context io;
  const auto bus = MutterBus::connect(gnome.busAddress());
  GnomeCaptureService service(bus);
  const auto content = test::runAwaitable<ShareableContent>(
      io, [&] { return service.shareableContent(); }, std::chrono::seconds(10));
  ASSERT_EQ(content.displays.size(), 1u);
  auto output = std::make_shared<test::FrameRecorder>();
  const auto stream =
      service.makeStream({content.displays[0].id, {}}, {1280, 720, 30}, output, io.get_executor());
  test::runAwaitable<bool>(
      io,
      [&]() -> asio::awaitable<bool> {
        co_await stream->startCapture();
        co_return true;
      },
      std::chrono::seconds(10));

  RemoteInputSink input([&] { return bus->currentSession(); });
  input.emit(MouseMoveEvent{{640, 360}, std::nullopt, 0});
  EXPECT_TRUE(printed(*client, "motion 640 360")) << client->output();
  input.emit(MouseButtonEvent{MouseButton::left, true, 1, {640, 360}, 0});
  input.emit(MouseButtonEvent{MouseButton::left, false, 1, {640, 360}, 0});
  EXPECT_TRUE(printed(*client, "button 272 0")) << client->output();
  input.emit(ScrollEvent{-30, 0});  // down by 30 pixels
  EXPECT_TRUE(printed(*client, "axis 0 30")) << client->output();
  input.emit(KeyEvent{0, true, 0});  // the A position: "q" on AZERTY
  input.emit(KeyEvent{0, false, 0});
  EXPECT_TRUE(printed(*client, "text q")) << client->output();
  input.emit(TextEvent{"Az\u00e9"});
  EXPECT_TRUE(printed(*client, "text A")) << client->output();
  EXPECT_TRUE(printed(*client, "text z")) << client->output();
  EXPECT_TRUE(printed(*client, "text \u00e9")) << client->output();

  // The frames show the client's green (BT.709, video range): Y about 146, Cb about 102.
  // run_for() returns at once while nothing is queued: wait by the clock.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!output->last && std::chrono::steady_clock::now() < deadline) {
    io.restart();
    io.run_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(output->last);
  const PixelBuffer& frame = *output->last;
  const std::size_t middle = static_cast<std::size_t>(frame.height / 4 * frame.strideY + frame.width / 4);
  EXPECT_NEAR(frame.y[middle], 146, 8);
  const std::size_t chroma =
      static_cast<std::size_t>(frame.height / 8 * frame.strideUV + frame.width / 4 / 2 * 2);
  EXPECT_NEAR(frame.uv[chroma], 102, 8);
}

}  // namespace
}  // namespace quorvanta::wayland
