// Encoding and decoding cost of control messages, from the smallest ("ping") to the largest the
// host sends (a clipboard of 60,000 bytes). Throughput is in bytes of JSON.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/protocol/control_message.h"

namespace quorvanta {
namespace {

ControlMessage pingMessage() {
  return ControlMessage::make("ping");
}

ControlMessage inputMoveMessage() {
  auto message = ControlMessage::make("input");
  message.event = "move";
  message.x = 1234.5;
  message.y = 678.25;
  message.modifiers = 0x100000;
  return message;
}

ControlMessage streamingMessage() {
  auto message = ControlMessage::make("streaming");
  message.displays = std::vector<RemoteDisplay>{
      {.id = 1, .name = "Built-in Display", .width = 2560, .height = 1600},
      {.id = 724'196'875, .name = "DELL U2720Q", .width = 3840, .height = 2160},
      {.id = 724'196'876, .name = "Projector (HDMI)", .width = 1920, .height = 1080},
  };
  message.displayID = 724'196'875;
  message.width = 1920;
  message.height = 1080;
  message.controlAllowed = true;
  return message;
}

ControlMessage videoConfigMessage() {
  auto message = ControlMessage::make("videoConfig");
  // Typical H.264 parameter sets of a 1080p High-profile stream.
  message.sps =
      Bytes{0x67, 0x64, 0x00, 0x28, 0xac, 0xd1, 0x00, 0x78, 0x02, 0x27, 0xe5, 0xc0, 0x5a, 0x80, 0x80,
            0x80, 0xa0, 0x00, 0x00, 0x03, 0x00, 0x20, 0x00, 0x00, 0x07, 0x81, 0xe3, 0x06, 0x22, 0x40};
  message.pps = Bytes{0x68, 0xeb, 0xe3, 0xcb, 0x22, 0xc0, 0x00, 0x00};
  return message;
}

// Prose with the characters a clipboard really holds: line breaks, tabs, quotes, backslashes and
// multi-byte UTF-8, all of which the JSON writer escapes or validates.
std::string clipboardText(std::size_t size) {
  static constexpr std::string_view kChunk =
      "Meeting notes \xe2\x80\x94 \"Q3 review\"\n"
      "\t- caf\xc3\xa9 budget: 12,400 \xe2\x82\xac (approved)\n"
      "\t- path: C:\\Users\\shared\\plan.txt\n"
      "Next steps \xf0\x9f\x9a\x80 follow up by Friday.\n";
  std::string text;
  text.reserve(size);
  while (text.size() + kChunk.size() <= size)
    text += kChunk;
  text.append(size - text.size(), 'x');
  return text;
}

ControlMessage clipboardMessage() {
  auto message = ControlMessage::make("clipboard");
  message.text = clipboardText(60'000);
  return message;
}

void encodeBench(benchmark::State& state, ControlMessage (*make)()) {
  const ControlMessage message = make();
  const auto probe = encodeControlMessage(message);
  if (!probe) {
    state.SkipWithError("message does not encode");
    return;
  }
  for (auto _ : state) {
    auto json = encodeControlMessage(message);
    benchmark::DoNotOptimize(json);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(probe->size()));
  state.counters["json_bytes"] = static_cast<double>(probe->size());
}

void decodeBench(benchmark::State& state, ControlMessage (*make)()) {
  const ControlMessage message = make();
  const auto json = encodeControlMessage(message);
  if (!json) {
    state.SkipWithError("message does not encode");
    return;
  }
  const auto roundTrip = decodeControlMessage(*json);
  if (!roundTrip || *roundTrip != message) {
    state.SkipWithError("message does not survive a round trip");
    return;
  }
  for (auto _ : state) {
    auto decoded = decodeControlMessage(*json);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(json->size()));
  state.counters["json_bytes"] = static_cast<double>(json->size());
}

BENCHMARK_CAPTURE(encodeBench, ping, pingMessage);
BENCHMARK_CAPTURE(encodeBench, input_move, inputMoveMessage);
BENCHMARK_CAPTURE(encodeBench, streaming_3_displays, streamingMessage);
BENCHMARK_CAPTURE(encodeBench, video_config, videoConfigMessage);
BENCHMARK_CAPTURE(encodeBench, clipboard_60000, clipboardMessage);

BENCHMARK_CAPTURE(decodeBench, ping, pingMessage);
BENCHMARK_CAPTURE(decodeBench, input_move, inputMoveMessage);
BENCHMARK_CAPTURE(decodeBench, streaming_3_displays, streamingMessage);
BENCHMARK_CAPTURE(decodeBench, video_config, videoConfigMessage);
BENCHMARK_CAPTURE(decodeBench, clipboard_60000, clipboardMessage);

}  // namespace
}  // namespace quorvanta
