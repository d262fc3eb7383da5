#include <gtest/gtest.h>

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/linux/media/annex_b.h"
#include "platform/linux/media/av_handles.h"
#include "tools/client/client_test_host.h"
#include "tools/client/client_video.h"
#include "tools/client/encoded_frames.h"

namespace quorvanta::client {
namespace {

using namespace std::chrono_literals;

// A host that starts the stream on "stream" and sends the frames as fast as acknowledgements
// free send slots: three frames may be unacknowledged, so all of them go out only when the
// client acknowledges.
class StreamingHost {
 public:
  explicit StreamingHost(std::vector<AvccAccessUnit> units)
      : units_(std::move(units)), host_([this](PacketConnection& connection, const ControlMessage& received) {
          if (received.type == "authenticate") connection.send(ControlMessage::make("hello"));
          if (received.type == "disconnect") connection.cancel();
          if (received.type != "stream") return;
          connection.send(streamingMessage());
          connection.pacer().configure(true, 30, 6'000'000);
          connection.pacer().setCreditCallback([this, &connection] { pump(connection); });
          pump(connection);
        }) {}

  std::uint16_t port() const { return host_.port(); }
  int sent() const { return sent_; }
  ScriptedHost& host() { return host_; }

 private:
  // Runs on the connection's strand only.
  void pump(PacketConnection& connection) {
    while (sent_ < static_cast<int>(units_.size()) && connection.pacer().tryReserve()) {
      const AvccAccessUnit& unit = units_[static_cast<std::size_t>(sent_)];
      if (unit.sps && unit.pps) {
        auto config = ControlMessage::make("videoConfig");
        config.sps = unit.sps;
        config.pps = unit.pps;
        connection.send(config);
      }
      connection.sendVideo(unit.data, sent_ == 0);
      ++sent_;
    }
  }

  std::vector<AvccAccessUnit> units_;
  std::atomic<int> sent_ = 0;
  ScriptedHost host_;
};

// The picture in a PNG file, as decoded by libavcodec's PNG decoder.
av::FramePtr readPng(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
  av::CodecContextPtr context(avcodec_alloc_context3(codec));
  av::PacketPtr packet(av_packet_alloc());
  av::FramePtr frame(av_frame_alloc());
  if (bytes.empty() || avcodec_open2(context.get(), codec, nullptr) < 0 ||
      av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) {
    return nullptr;
  }
  std::copy(bytes.begin(), bytes.end(), packet->data);
  if (avcodec_send_packet(context.get(), packet.get()) < 0 ||
      avcodec_receive_frame(context.get(), frame.get()) < 0) {
    return nullptr;
  }
  return frame;
}

TEST(VideoSummaryTest, PercentilesAndFiguresFollowTheSamples) {
  std::vector<double> samples;
  for (int i = 100; i >= 1; --i)
    samples.push_back(i);
  EXPECT_EQ(percentile(samples, 0.5), 50);
  EXPECT_EQ(percentile(samples, 0.99), 99);
  EXPECT_EQ(percentile({7}, 0.99), 7);
  EXPECT_EQ(percentile({}, 0.5), std::nullopt);

  VideoSummary summary;
  summary.decoded = 60;
  summary.received = 60;
  summary.payloadBytes = 250'000;
  summary.seconds = 2;
  summary.decodeMedianMs = 1.5;
  summary.decodeP99Ms = 4;
  summary.intervalMedianMs = 33;
  summary.intervalP99Ms = 40.5;
  EXPECT_EQ(formatSummary(summary),
            "frames decoded: 60\nframes received: 60\nseconds: 2.00\nfps: 30.0\nbit rate: 1000000 bit/s\n"
            "decode time: median 1.50 ms, p99 4.00 ms\n"
            "jitter: 7.50 ms (arrival interval median 33.00 ms, p99 40.50 ms)\n");
}

TEST_F(ClientTest, StreamDecodesAcknowledgesAndSavesTheLastFrame) {
  const std::vector<AvccAccessUnit> units = encodeFrames();
  if (units.empty()) GTEST_SKIP() << "libavcodec has no libx264 encoder";
  ASSERT_EQ(units.size(), static_cast<std::size_t>(kFrameCount));
  ASSERT_TRUE(units.front().sps && units.front().pps);

  StreamingHost streamingHost(units);
  Options options;
  options.command = Command::stream;
  options.stream.fps = 30;
  options.stream.maxWidth = 1280;
  options.streamDuration = 2s;
  options.saveFrame = scratch_.path() / "last.png";
  options.stats = true;
  const Outcome result = runPaired(streamingHost.port(), options);
  EXPECT_EQ(result.code, kExitOk) << result.err;

  // Only control messages are printed; the video is not.
  auto config = ControlMessage::make("videoConfig");
  config.sps = units.front().sps;
  config.pps = units.front().pps;
  EXPECT_EQ(result.out, jsonLines({ControlMessage::make("hello"), streamingMessage(), config}));
  EXPECT_NE(result.err.find("frames decoded: 6\n"), std::string::npos) << result.err;

  // Every frame went out, which takes acknowledgements, and none is left unacknowledged.
  EXPECT_EQ(streamingHost.sent(), kFrameCount);
  const auto connections = streamingHost.host().connections();
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_EQ(connections.front()->pacer().reserved(), 0);

  const auto received = streamingHost.host().received();
  ASSERT_GE(received.size(), 2u);
  EXPECT_EQ(received[0].features, std::vector<std::string>{kFeatureFrameAck});
  auto stream = ControlMessage::make("stream");
  stream.fps = 30;
  stream.maxWidth = 1280;
  EXPECT_EQ(received[1], stream);

  const av::FramePtr png = readPng(*options.saveFrame);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->width, kWidth);
  EXPECT_EQ(png->height, kHeight);
  ASSERT_EQ(png->format, AV_PIX_FMT_RGB24);
  const std::uint8_t* centre = png->data[0] + (kHeight / 2) * png->linesize[0] + (kWidth / 2) * 3;
  EXPECT_NEAR(centre[0], kLastColour.r, 12);
  EXPECT_NEAR(centre[1], kLastColour.g, 12);
  EXPECT_NEAR(centre[2], kLastColour.b, 12);
}

TEST_F(ClientTest, StreamFailsWhenTheHostNeverStreams) {
  ScriptedHost host([](PacketConnection& connection, const ControlMessage& received) {
    if (received.type == "authenticate") connection.send(ControlMessage::make("hello"));
    if (received.type == "disconnect") connection.cancel();
  });
  Options options;
  options.command = Command::stream;
  options.streamDuration = 300ms;
  options.saveFrame = scratch_.path() / "never.png";
  const Outcome result = runPaired(host.port(), options);
  EXPECT_EQ(result.code, kExitFailure);
  EXPECT_EQ(result.err, "The host did not start streaming.\nNo video frame was decoded, so " +
                            options.saveFrame->string() + " was not written.\n");
  EXPECT_FALSE(std::filesystem::exists(*options.saveFrame));
}

}  // namespace
}  // namespace quorvanta::client
