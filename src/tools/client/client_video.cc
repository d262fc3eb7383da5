#include "tools/client/client_video.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/util/quorvanta_error.h"

namespace quorvanta::client {
namespace {

double millisecondsBetween(VideoReceiver::Clock::time_point from, VideoReceiver::Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string milliseconds(const std::optional<double>& value) {
  return value ? fixed(*value, 2) + " ms" : "none";
}

}  // namespace

std::optional<double> percentile(std::vector<double> samples, double q) {
  if (samples.empty()) return std::nullopt;
  const auto rank =
      static_cast<std::size_t>(std::ceil(std::clamp(q, 0.0, 1.0) * static_cast<double>(samples.size())));
  const std::size_t index = rank == 0 ? 0 : rank - 1;
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index), samples.end());
  return samples[index];
}

std::string formatSummary(const VideoSummary& summary) {
  std::string text;
  text += "frames decoded: " + std::to_string(summary.decoded) + "\n";
  text += "frames received: " + std::to_string(summary.received) + "\n";
  if (summary.failed > 0) text += "frames not decodable: " + std::to_string(summary.failed) + "\n";
  text += "seconds: " + fixed(summary.seconds, 2) + "\n";
  text += "fps: " + fixed(summary.fps(), 1) + "\n";
  text += "bit rate: " + std::to_string(std::llround(summary.bitsPerSecond())) + " bit/s\n";
  text += "decode time: median " + milliseconds(summary.decodeMedianMs) + ", p99 " +
          milliseconds(summary.decodeP99Ms) + "\n";
  if (summary.intervalMedianMs && summary.intervalP99Ms) {
    text += "jitter: " + fixed(*summary.intervalP99Ms - *summary.intervalMedianMs, 2) +
            " ms (arrival interval median " + milliseconds(summary.intervalMedianMs) + ", p99 " +
            milliseconds(summary.intervalP99Ms) + ")\n";
  } else {
    text += "jitter: none\n";
  }
  return text;
}

VideoReceiver::VideoReceiver() : last_(av_frame_alloc()) {
  if (!last_) throw QuorvantaError("The video decoder could not be set up.");
}

void VideoReceiver::configure(const ControlMessage& message) {
  decoder_.configure(message);
}

void VideoReceiver::receive(std::span<const std::uint8_t> payload) {
  if (ended_) return;
  const auto now = Clock::now();
  if (lastArrival_) intervalMs_.push_back(millisecondsBetween(*lastArrival_, now));
  if (!firstArrival_) firstArrival_ = now;
  lastArrival_ = now;
  ++received_;
  payloadBytes_ += static_cast<std::int64_t>(payload.size());

  const auto started = Clock::now();
  const int pictures = decoder_.decode(payload, [this](AVFrame& picture) { take(picture); });
  if (pictures < 0) {
    ++failed_;
  } else if (pictures > 0) {
    decodeMs_.push_back(millisecondsBetween(started, Clock::now()));
  }
}

void VideoReceiver::take(AVFrame& picture) {
  if (frameObserver_) frameObserver_(picture, Clock::now());
  av_frame_unref(last_.get());
  av_frame_move_ref(last_.get(), &picture);
  hasFrame_ = true;
  ++decoded_;
}

void VideoReceiver::end() {
  if (ended_) return;
  ended_ = true;
  endedAt_ = Clock::now();
  decoder_.flush([this](AVFrame& picture) { take(picture); });
}

VideoSummary VideoReceiver::summary() const {
  VideoSummary summary;
  summary.received = received_;
  summary.decoded = decoded_;
  summary.failed = failed_;
  summary.payloadBytes = payloadBytes_;
  if (firstArrival_) {
    summary.seconds = millisecondsBetween(*firstArrival_, endedAt_.value_or(Clock::now())) / 1000.0;
  }
  summary.decodeMedianMs = percentile(decodeMs_, 0.5);
  summary.decodeP99Ms = percentile(decodeMs_, 0.99);
  summary.intervalMedianMs = percentile(intervalMs_, 0.5);
  summary.intervalP99Ms = percentile(intervalMs_, 0.99);
  return summary;
}

int finishStream(VideoReceiver& video, const Options& options, std::ostream& err, int code) {
  video.end();
  if (options.saveFrame) {
    const AVFrame* frame = video.lastFrame();
    const std::optional<std::string> problem =
        frame ? saveFramePng(*frame, *options.saveFrame)
              : std::optional<std::string>("No video frame was decoded, so " + options.saveFrame->string() +
                                           " was not written.");
    if (problem) {
      err << *problem << std::endl;
      code = code == kExitOk ? kExitFailure : code;
    }
  }
  if (options.stats) err << formatSummary(video.summary()) << std::flush;
  return code;
}

}  // namespace quorvanta::client
