#include "platform/linux/media/libavcodec_encoder_backend.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <thread>

#include "platform/linux/media/annex_b.h"
#include "platform/linux/media/av_handles.h"

namespace quorvanta {
namespace {

using av::BufferRefPtr;
using av::CodecContextPtr;
using av::FramePtr;
using av::PacketPtr;

constexpr AVRational kTimeBase{1, 90'000};
constexpr double kTicksPerSecond = 90'000.0;
// The longest time one frame's bits are sized for (see LibavcodecSession::followFrameRate).
constexpr double kLongestInterval = 0.25;
// libx264 cannot change its average bit rate once open, only its peak rate (VBV). It is opened
// with this average, beyond any target, and held to the target by the peak rate.
constexpr std::int64_t kX264Ceiling = 400'000'000;

std::int64_t clampToInt(double value) {
  return static_cast<std::int64_t>(
      std::clamp(value, 0.0, static_cast<double>(std::numeric_limits<int>::max())));
}

// Average rate, and the peak rate with a one-window buffer, in the fields every encoder reads.
// `scale` multiplies both rates, not the buffer (see LibavcodecSession::followFrameRate). With
// `peakSteers` (libx264) the average stays at kX264Ceiling and the peak rate is the target itself.
void setRateFields(AVCodecContext& context, std::int64_t averageBitsPerSecond, DataRateLimit limit,
                   double scale = 1.0, bool peakSteers = false) {
  const double windowBits = limit.bytes * 8.0;
  const double peakBitsPerSecond = limit.seconds > 0 ? windowBits / limit.seconds : windowBits;
  const double average = static_cast<double>(averageBitsPerSecond) * scale;
  context.bit_rate = peakSteers ? kX264Ceiling : clampToInt(average);
  context.rc_max_rate = clampToInt(peakSteers ? average : peakBitsPerSecond * scale);
  context.rc_buffer_size = static_cast<int>(clampToInt(windowBits));
}

DataRateLimit defaultLimit(std::int64_t averageBitsPerSecond) {
  return {static_cast<double>(averageBitsPerSecond) * 1.5 / 8.0, 1.0};
}

// Sets a private option of the encoder; false when the encoder has no such option or refuses the
// value.
bool setOption(AVCodecContext& context, const char* name, const char* value) {
  return av_opt_set(context.priv_data, name, value, 0) >= 0;
}

class LibavcodecSession final : public EncoderSession {
 public:
  LibavcodecSession(CodecContextPtr context, BufferRefPtr hardwareFrames, const SessionSettings& settings,
                    std::string description, bool peakSteers)
      : context_(std::move(context)),
        hardwareFrames_(std::move(hardwareFrames)),
        maxKeyframeSpacing_(static_cast<double>(settings.maxKeyFrameIntervalDuration)),
        description_(std::move(description)),
        peakSteers_(peakSteers),
        expectedFps_(static_cast<double>(std::clamp<std::int64_t>(settings.expectedFrameRate, 1, 1000))),
        rate_(settings.averageBitrate, defaultLimit(settings.averageBitrate)) {}

  ~LibavcodecSession() override { completeAndInvalidate(); }

  LibavcodecSession(const LibavcodecSession&) = delete;
  LibavcodecSession& operator=(const LibavcodecSession&) = delete;

  int prepare() override {
    const int status = allocateFrames();
    if (status == 0) startWorker();
    return status;
  }

  void setBitrate(std::int64_t averageBitsPerSecond, DataRateLimit limit) override {
    std::lock_guard guard(lock_);
    pendingRate_ = {averageBitsPerSecond, limit};
  }

  int submit(PixelBufferRef buffer, double time, bool forceKeyframe, SessionOutputHandler handler) override {
    if (invalidated_) return AVERROR(EINVAL);
    startWorker();
    {
      std::lock_guard guard(lock_);
      jobs_.push_back({std::move(buffer), time, forceKeyframe, std::move(handler)});
    }
    wake_.notify_one();
    return 0;
  }

  void completeAndInvalidate() override {
    if (invalidated_) return;
    invalidated_ = true;
    {
      std::lock_guard guard(lock_);
      closing_ = true;
    }
    wake_.notify_one();
    if (worker_.joinable()) worker_.join();
  }

  std::string description() const override { return description_; }

 private:
  struct Job {
    PixelBufferRef buffer;
    double time = 0;
    bool forceKeyframe = false;
    SessionOutputHandler handler;
  };

  void startWorker() {
    if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
  }

  // Finishes every queued frame before it returns, so closing never loses a handler.
  void run() {
    for (;;) {
      Job job;
      {
        std::unique_lock guard(lock_);
        wake_.wait(guard, [this] { return closing_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      SessionOutput output = encode(job);
      job.handler(std::move(output));
    }
  }

  int allocateFrames() {
    if (frame_) return 0;
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    FramePtr hardwareFrame(hardwareFrames_ ? av_frame_alloc() : nullptr);
    if (!frame || !packet || (hardwareFrames_ && !hardwareFrame)) return AVERROR(ENOMEM);
    frame->format = AV_PIX_FMT_NV12;
    frame->width = context_->width;
    frame->height = context_->height;
    if (const int status = av_frame_get_buffer(frame.get(), 0); status < 0) return status;
    frame_ = std::move(frame);
    packet_ = std::move(packet);
    hardwareFrame_ = std::move(hardwareFrame);
    return 0;
  }

  int fill(const PixelBuffer& buffer) {
    if (buffer.width != context_->width || buffer.height != context_->height) return AVERROR(EINVAL);
    const auto width = static_cast<std::size_t>(buffer.width);
    const auto height = static_cast<std::size_t>(buffer.height);
    const auto strideY = static_cast<std::size_t>(buffer.strideY);
    const auto strideUV = static_cast<std::size_t>(buffer.strideUV);
    if (strideY < width || strideUV < width || buffer.y.size() < strideY * height ||
        buffer.uv.size() < strideUV * (height / 2)) {
      return AVERROR(EINVAL);
    }
    if (const int status = av_frame_make_writable(frame_.get()); status < 0) return status;
    for (std::size_t row = 0; row < height; ++row) {
      std::memcpy(frame_->data[0] + row * static_cast<std::size_t>(frame_->linesize[0]),
                  buffer.y.data() + row * strideY, width);
    }
    for (std::size_t row = 0; row < height / 2; ++row) {
      std::memcpy(frame_->data[1] + row * static_cast<std::size_t>(frame_->linesize[1]),
                  buffer.uv.data() + row * strideUV, width);
    }
    return 0;
  }

  // Presentation times in 1/90000 s, kept strictly increasing after rounding.
  std::int64_t ticks(double time) {
    auto value = static_cast<std::int64_t>(std::llround(time * kTicksPerSecond));
    if (lastPts_ && value <= *lastPts_) value = *lastPts_ + 1;
    lastPts_ = value;
    return value;
  }

  // Takes a rate set since the last frame; true when there was one.
  bool takePendingRate() {
    std::optional<std::pair<std::int64_t, DataRateLimit>> rate;
    {
      std::lock_guard guard(lock_);
      rate = std::exchange(pendingRate_, std::nullopt);
    }
    if (rate) rate_ = *rate;
    return rate.has_value();
  }

  // Rate control in low-latency mode sizes every frame for the expected frame rate (libx264's
  // zerolatency tuning ignores timestamps; letting it use them costs a frame of delay). When the
  // pacer or a slow capture lets fewer frames through, the output would fall short of the target
  // in proportion: at 5 frames a second, a sixth of it. So the rates handed to the encoder are
  // scaled by the time the frames actually stand for (a smoothed interval between 1/fps and
  // kLongestInterval), and set again when that scale moves by more than a tenth. libx264 and
  // NVENC compare these fields with their configuration on every frame and reconfigure the running
  // encoder when they differ; VA-API reads them only when it opens.
  void followFrameRate(double time, bool rateChanged) {
    if (lastTime_) {
      const double raw = std::clamp(time - *lastTime_, 1.0 / expectedFps_, kLongestInterval);
      interval_ = interval_ > 0 ? 0.75 * interval_ + 0.25 * raw : raw;
    }
    lastTime_ = time;
    const double scale = std::max(1.0, interval_ * expectedFps_);
    if (appliedScale_ > 0 && !rateChanged && std::abs(scale / appliedScale_ - 1.0) <= 0.1) return;
    appliedScale_ = scale;
    setRateFields(*context_, rate_.first, rate_.second, scale, peakSteers_);
  }

  SessionOutput encode(const Job& job) {
    if (int status = allocateFrames(); status < 0) return failure(status);
    if (!job.buffer) return failure(AVERROR(EINVAL));
    if (int status = fill(*job.buffer); status < 0) return failure(status);
    followFrameRate(job.time, takePendingRate());

    // The keyframe interval in seconds: frames may come slower than the expected rate when the
    // screen is still, so the interval in frames alone could stretch far longer.
    const bool intervalDue = lastKeyframeTime_ && job.time - *lastKeyframeTime_ >= maxKeyframeSpacing_;
    const bool forced = job.forceKeyframe || intervalDue;
    const std::int64_t pts = ticks(job.time);
    frame_->pts = pts;
    frame_->pict_type = forced ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;

    AVFrame* input = frame_.get();
    if (hardwareFrames_) {
      av_frame_unref(hardwareFrame_.get());
      if (int status = av_hwframe_get_buffer(hardwareFrames_.get(), hardwareFrame_.get(), 0); status < 0) {
        return failure(status);
      }
      if (int status = av_hwframe_transfer_data(hardwareFrame_.get(), frame_.get(), 0); status < 0) {
        return failure(status);
      }
      hardwareFrame_->pts = pts;
      hardwareFrame_->pict_type = frame_->pict_type;
      input = hardwareFrame_.get();
    }

    if (int status = avcodec_send_frame(context_.get(), input); status < 0) return failure(status);

    // No reordering and no frame delay: the packet for this frame, if any, is ready now.
    std::optional<EncoderSample> sample;
    for (;;) {
      const int status = avcodec_receive_packet(context_.get(), packet_.get());
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) break;
      if (status < 0) return failure(status);
      if (!sample && (packet_->pts == pts || packet_->pts == AV_NOPTS_VALUE)) {
        sample = toSample(*packet_);
      }
      av_packet_unref(packet_.get());
    }
    if (!sample) {
      SessionOutput dropped;
      dropped.dropped = true;
      return dropped;
    }
    if (sample->keyframe) lastKeyframeTime_ = job.time;
    SessionOutput output;
    output.sample = std::move(sample);
    return output;
  }

  static SessionOutput failure(int status) {
    SessionOutput output;
    output.status = status;
    return output;
  }

  static EncoderSample toSample(const AVPacket& packet) {
    auto unit = annexBToAvcc({packet.data, static_cast<std::size_t>(packet.size)});
    EncoderSample sample;
    sample.keyframe = (packet.flags & AV_PKT_FLAG_KEY) != 0;
    if (sample.keyframe && (unit.sps || unit.pps)) {
      sample.parameterSets = ParameterSets{unit.sps.value_or(Bytes{}), unit.pps.value_or(Bytes{})};
    }
    sample.data = std::move(unit.data);
    return sample;
  }

  CodecContextPtr context_;
  BufferRefPtr hardwareFrames_;
  double maxKeyframeSpacing_;
  std::string description_;

  // Worker only.
  FramePtr frame_;
  FramePtr hardwareFrame_;
  PacketPtr packet_;
  std::optional<std::int64_t> lastPts_;
  std::optional<double> lastKeyframeTime_;
  const bool peakSteers_;
  const double expectedFps_;
  std::pair<std::int64_t, DataRateLimit> rate_;  // as last asked for
  std::optional<double> lastTime_;
  double interval_ = 0;      // smoothed time between frames
  double appliedScale_ = 0;  // 0: nothing applied yet

  // Pipeline queue only.
  std::thread worker_;
  bool invalidated_ = false;

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool closing_ = false;
  std::optional<std::pair<std::int64_t, DataRateLimit>> pendingRate_;
};

const char* profileName(H264Profile profile) {
  return profile == H264Profile::constrainedHighAutoLevel ? "high" : "main";
}

CodecContextPtr newContext(const AVCodec& codec, const SessionSettings& settings) {
  CodecContextPtr context(avcodec_alloc_context3(&codec));
  if (!context) return nullptr;
  context->width = settings.width;
  context->height = settings.height;
  context->pix_fmt = AV_PIX_FMT_NV12;
  // The capture converts to video-range BT.709; the stream says so, so that decoders convert back
  // with the same matrix.
  context->color_range = AVCOL_RANGE_MPEG;
  context->colorspace = AVCOL_SPC_BT709;
  context->color_primaries = AVCOL_PRI_BT709;
  context->color_trc = AVCOL_TRC_BT709;
  context->time_base = kTimeBase;
  const auto fps = static_cast<int>(std::clamp<std::int64_t>(settings.expectedFrameRate, 1, 1000));
  context->framerate = AVRational{fps, 1};
  context->gop_size = static_cast<int>(std::clamp<std::int64_t>(settings.maxKeyFrameInterval, 1, 1 << 30));
  context->keyint_min = context->gop_size;
  context->max_b_frames = 0;
  context->has_b_frames = 0;
  setRateFields(*context, settings.averageBitrate, defaultLimit(settings.averageBitrate));
  return context;
}

struct Opened {
  CodecContextPtr context;
  BufferRefPtr hardwareFrames;
  std::string description;
};

int openX264(const SessionSettings& settings, Opened& opened) {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) return AVERROR_ENCODER_NOT_FOUND;
  auto context = newContext(*codec, settings);
  if (!context) return AVERROR(ENOMEM);
  // Opened at the ceiling, with a peak above it: a peak at or below the average would lock x264
  // into constant bit rate at that value. The first frame sets the peak to the target.
  context->bit_rate = kX264Ceiling;
  context->rc_max_rate = 2 * kX264Ceiling;
  context->rc_buffer_size =
      static_cast<int>(std::min<std::int64_t>(2 * kX264Ceiling, std::numeric_limits<int>::max()));
  // zerolatency is what makes one packet come back per frame, so it is used in both modes; the
  // modes differ in profile only.
  if (!setOption(*context, "preset", "veryfast") || !setOption(*context, "tune", "zerolatency") ||
      !setOption(*context, "profile", profileName(settings.profile)) ||
      !setOption(*context, "forced-idr", "1")) {
    return AVERROR(EINVAL);
  }
  if (const int status = avcodec_open2(context.get(), codec, nullptr); status < 0) return status;
  opened.context = std::move(context);
  opened.description = std::string("libx264 (zerolatency, veryfast, ") + profileName(settings.profile) + ")";
  return 0;
}

int openNvenc(const SessionSettings& settings, Opened& opened) {
  const AVCodec* codec = avcodec_find_encoder_by_name("h264_nvenc");
  if (!codec) return AVERROR_ENCODER_NOT_FOUND;
  auto context = newContext(*codec, settings);
  if (!context) return AVERROR(ENOMEM);
  const char* preset = settings.lowLatency ? "p1" : "p4";
  const char* tune = settings.lowLatency ? "ull" : "hq";
  if (!setOption(*context, "preset", preset) || !setOption(*context, "tune", tune) ||
      !setOption(*context, "profile", profileName(settings.profile)) || !setOption(*context, "rc", "vbr") ||
      !setOption(*context, "delay", "0") || !setOption(*context, "forced-idr", "1") ||
      !setOption(*context, "zerolatency", settings.lowLatency ? "1" : "0")) {
    return AVERROR(EINVAL);
  }
  if (const int status = avcodec_open2(context.get(), codec, nullptr); status < 0) return status;
  opened.context = std::move(context);
  opened.description =
      std::string("h264_nvenc (") + preset + ", " + tune + ", " + profileName(settings.profile) + ")";
  return 0;
}

int openVaapi(const SessionSettings& settings, const std::string& renderNode, Opened& opened) {
  const AVCodec* codec = avcodec_find_encoder_by_name("h264_vaapi");
  if (!codec) return AVERROR_ENCODER_NOT_FOUND;
  AVBufferRef* rawDevice = nullptr;
  if (const int status =
          av_hwdevice_ctx_create(&rawDevice, AV_HWDEVICE_TYPE_VAAPI, renderNode.c_str(), nullptr, 0);
      status < 0) {
    return status;
  }
  const BufferRefPtr device(rawDevice);
  BufferRefPtr frames(av_hwframe_ctx_alloc(device.get()));
  if (!frames) return AVERROR(ENOMEM);
  auto* framesContext = reinterpret_cast<AVHWFramesContext*>(frames->data);
  framesContext->format = AV_PIX_FMT_VAAPI;
  framesContext->sw_format = AV_PIX_FMT_NV12;
  framesContext->width = settings.width;
  framesContext->height = settings.height;
  framesContext->initial_pool_size = 4;
  if (const int status = av_hwframe_ctx_init(frames.get()); status < 0) return status;

  auto context = newContext(*codec, settings);
  if (!context) return AVERROR(ENOMEM);
  context->pix_fmt = AV_PIX_FMT_VAAPI;
  context->hw_frames_ctx = av_buffer_ref(frames.get());
  if (!context->hw_frames_ctx) return AVERROR(ENOMEM);
  if (!setOption(*context, "profile", profileName(settings.profile)) ||
      !setOption(*context, "rc_mode", "VBR") || !setOption(*context, "async_depth", "1") ||
      !setOption(*context, "low_power", settings.lowLatency ? "1" : "0")) {
    return AVERROR(EINVAL);
  }
  if (const int status = avcodec_open2(context.get(), codec, nullptr); status < 0) return status;
  opened.context = std::move(context);
  opened.hardwareFrames = std::move(frames);
  opened.description = std::string("h264_vaapi (") + (settings.lowLatency ? "low power, " : "") +
                       profileName(settings.profile) + ", " + renderNode + ")";
  return 0;
}

}  // namespace

std::unique_ptr<EncoderSession> LibavcodecEncoderBackend::createSession(const SessionSettings& settings,
                                                                        int& status) {
  // Once per process: libav's own reports (x264's settings and statistics at every open and
  // close, hardware probing) would flood the host's output; errors still show. A level that is
  // already quieter stays.
  static const bool quieted = [] {
    if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
    return true;
  }();
  (void)quieted;
  status = AVERROR_ENCODER_NOT_FOUND;
  if (settings.allowFrameReordering) return nullptr;  // every encoder here runs without reordering
  for (const Encoder encoder : options_.encoders) {
    const auto key = std::make_pair(encoder, settings.lowLatency);
    {
      std::lock_guard guard(lock_);
      if (unavailable_.contains(key)) continue;
    }
    Opened opened;
    switch (encoder) {
      case Encoder::vaapi:
        status = openVaapi(settings, options_.renderNode, opened);
        break;
      case Encoder::nvenc:
        status = openNvenc(settings, opened);
        break;
      case Encoder::x264:
        status = openX264(settings, opened);
        break;
    }
    if (status == 0) {
      return std::make_unique<LibavcodecSession>(std::move(opened.context), std::move(opened.hardwareFrames),
                                                 settings, std::move(opened.description),
                                                 encoder == Encoder::x264);
    }
    if (encoder != Encoder::x264) {
      std::lock_guard guard(lock_);
      unavailable_.insert(key);
    }
  }
  return nullptr;
}

}  // namespace quorvanta
