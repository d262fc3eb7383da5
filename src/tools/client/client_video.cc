#include "tools/client/client_video.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/util/quorvanta_error.h"

namespace quorvanta::client {
namespace {

constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};

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

VideoReceiver::VideoReceiver()
    : packet_(av_packet_alloc()), frame_(av_frame_alloc()), last_(av_frame_alloc()) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) throw QuorvantaError("This libavcodec has no H.264 decoder.");
  context_.reset(avcodec_alloc_context3(codec));
  if (!context_ || !packet_ || !frame_ || !last_)
    throw QuorvantaError("The video decoder could not be set up.");
  // Every picture as soon as its access unit is in: no frame threads, which would hold pictures
  // back, but slices may still be decoded in parallel.
  context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
  context_->thread_type = FF_THREAD_SLICE;
  context_->thread_count = 2;
  if (avcodec_open2(context_.get(), codec, nullptr) < 0) {
    throw QuorvantaError("The H.264 decoder could not be opened.");
  }
}

void VideoReceiver::configure(const ControlMessage& message) {
  if (message.type != "videoConfig" || !message.sps || !message.pps) return;
  parameterSets_.clear();
  for (const Bytes* set : {&*message.sps, &*message.pps}) {
    parameterSets_.insert(parameterSets_.end(), std::begin(kStartCode), std::end(kStartCode));
    parameterSets_.insert(parameterSets_.end(), set->begin(), set->end());
  }
}

void VideoReceiver::receive(std::span<const std::uint8_t> payload) {
  if (ended_) return;
  const auto now = Clock::now();
  if (lastArrival_) intervalMs_.push_back(millisecondsBetween(*lastArrival_, now));
  if (!firstArrival_) firstArrival_ = now;
  lastArrival_ = now;
  ++received_;
  payloadBytes_ += static_cast<std::int64_t>(payload.size());

  annexB_.clear();
  if (payload.empty() || !appendAnnexB(payload.subspan(1))) {
    ++failed_;
    return;
  }
  decode();
}

bool VideoReceiver::appendAnnexB(std::span<const std::uint8_t> frame) {
  annexB_.insert(annexB_.end(), parameterSets_.begin(), parameterSets_.end());
  while (!frame.empty()) {
    if (frame.size() < 4) return false;
    const std::size_t length = std::size_t{frame[0]} << 24 | std::size_t{frame[1]} << 16 |
                               std::size_t{frame[2]} << 8 | std::size_t{frame[3]};
    if (length == 0 || length > frame.size() - 4) return false;
    annexB_.insert(annexB_.end(), std::begin(kStartCode), std::end(kStartCode));
    annexB_.insert(annexB_.end(), frame.begin() + 4, frame.begin() + 4 + static_cast<std::ptrdiff_t>(length));
    frame = frame.subspan(4 + length);
  }
  parameterSets_.clear();
  return true;
}

void VideoReceiver::decode() {
  if (annexB_.size() > static_cast<std::size_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) {
    ++failed_;
    return;
  }
  const auto started = Clock::now();
  av_packet_unref(packet_.get());
  if (av_new_packet(packet_.get(), static_cast<int>(annexB_.size())) < 0) {
    ++failed_;
    return;
  }
  std::copy(annexB_.begin(), annexB_.end(), packet_->data);
  if (avcodec_send_packet(context_.get(), packet_.get()) < 0) {
    ++failed_;
    return;
  }
  if (drain() > 0) decodeMs_.push_back(millisecondsBetween(started, Clock::now()));
}

int VideoReceiver::drain() {
  int pictures = 0;
  while (avcodec_receive_frame(context_.get(), frame_.get()) >= 0) {
    if (frameObserver_) frameObserver_(*frame_, Clock::now());
    av_frame_unref(last_.get());
    av_frame_move_ref(last_.get(), frame_.get());
    hasFrame_ = true;
    ++decoded_;
    ++pictures;
  }
  return pictures;
}

void VideoReceiver::end() {
  if (ended_) return;
  ended_ = true;
  endedAt_ = Clock::now();
  if (avcodec_send_packet(context_.get(), nullptr) >= 0) drain();
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
