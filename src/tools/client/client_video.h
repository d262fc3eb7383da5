#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "client/h264_decoder.h"
#include "core/protocol/control_message.h"
#include "platform/linux/media/av_handles.h"
#include "tools/client/client_options.h"

namespace quorvanta::client {

// What the stream command reports about the video it received.
struct VideoSummary {
  std::int64_t received = 0;  // video packets
  std::int64_t decoded = 0;   // frames that came out of the decoder
  std::int64_t failed = 0;    // packets the decoder refused, or that were malformed
  std::int64_t payloadBytes = 0;
  double seconds = 0;  // from the first video packet to the end of the session
  std::optional<double> decodeMedianMs;
  std::optional<double> decodeP99Ms;
  std::optional<double> intervalMedianMs;  // between the arrivals of consecutive video packets
  std::optional<double> intervalP99Ms;

  double fps() const { return seconds > 0 ? static_cast<double>(decoded) / seconds : 0; }
  double bitsPerSecond() const { return seconds > 0 ? static_cast<double>(payloadBytes) * 8.0 / seconds : 0; }
};

// The summary as the lines printed on standard error by --stats.
std::string formatSummary(const VideoSummary& summary);

// The value below which the share `q` (0 to 1) of the samples lie (nearest rank), or nothing
// without samples.
std::optional<double> percentile(std::vector<double> samples, double q);

// Decodes the host's video with the shared H264Decoder, keeping the last decoded picture and the
// timings for the summary.
class VideoReceiver {
 public:
  using Clock = std::chrono::steady_clock;
  // Sees every decoded picture, with the moment it came out of the decoder, before it is kept.
  using FrameObserver = std::function<void(const AVFrame& frame, Clock::time_point decoded)>;

  // Throws QuorvantaError when libavcodec cannot decode H.264.
  VideoReceiver();

  void setFrameObserver(FrameObserver observer) { frameObserver_ = std::move(observer); }

  // A "videoConfig" message; other messages are ignored.
  void configure(const ControlMessage& message);
  // One video packet's payload.
  void receive(std::span<const std::uint8_t> payload);
  // The session ended: drains the decoder and stops the clock of the summary.
  void end();

  // The last decoded picture, or null.
  const AVFrame* lastFrame() const { return hasFrame_ ? last_.get() : nullptr; }
  VideoSummary summary() const;

 private:
  // Keeps `picture` as the last one.
  void take(AVFrame& picture);

  H264Decoder decoder_;
  av::FramePtr last_;
  bool hasFrame_ = false;
  bool ended_ = false;
  FrameObserver frameObserver_;

  std::int64_t received_ = 0;
  std::int64_t decoded_ = 0;
  std::int64_t failed_ = 0;
  std::int64_t payloadBytes_ = 0;
  std::optional<Clock::time_point> firstArrival_;
  std::optional<Clock::time_point> lastArrival_;
  std::optional<Clock::time_point> endedAt_;
  std::vector<double> decodeMs_;
  std::vector<double> intervalMs_;
};

// Writes `frame` as an RGB PNG image; the sentence that says why it could not, or nothing.
std::optional<std::string> saveFramePng(const AVFrame& frame, const std::filesystem::path& path);

// After a stream command's session: saves the last frame (--save-frame) and prints the summary
// (--stats) on `err`. Returns the run's exit code, kExitFailure when the frame could not be saved.
int finishStream(VideoReceiver& video, const Options& options, std::ostream& err, int code);

}  // namespace quorvanta::client
