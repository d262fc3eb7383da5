#include "viewer/decode_worker.h"

#include <algorithm>

extern "C" {
#include <libswscale/swscale.h>
}

namespace quorvanta::viewer {
namespace {

using Clock = std::chrono::steady_clock;

// Picture buffers kept for reuse: one on screen, one waiting in the slot, one being filled.
constexpr std::size_t kPoolSize = 3;

}  // namespace

DecodeWorker::DecodeWorker(std::function<void()> onPicture)
    : decoder_(client::H264Decoder::Acceleration::preferHardware), onPicture_(std::move(onPicture)) {
  thread_ = std::thread([this] { run(); });
}

DecodeWorker::~DecodeWorker() {
  {
    std::lock_guard lock(lock_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
  sws_freeContext(scaler_);
}

void DecodeWorker::configure(const ControlMessage& videoConfig) {
  {
    std::lock_guard lock(lock_);
    queue_.emplace_back(videoConfig);
  }
  wake_.notify_one();
}

void DecodeWorker::decode(Bytes payload) {
  {
    std::lock_guard lock(lock_);
    queue_.emplace_back(std::move(payload));
  }
  wake_.notify_one();
}

void DecodeWorker::setTargetSize(int width, int height) {
  std::lock_guard lock(lock_);
  targetWidth_ = std::max(0, width);
  targetHeight_ = std::max(0, height);
}

std::shared_ptr<const Picture> DecodeWorker::take() {
  std::lock_guard lock(lock_);
  return std::move(latest_);
}

void DecodeWorker::run() {
  std::unique_lock lock(lock_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    Work work = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    if (auto* config = std::get_if<ControlMessage>(&work)) {
      decoder_.configure(*config);
    } else {
      const auto started = Clock::now();
      decoder_.decode(std::get<Bytes>(work), [&](AVFrame& frame) {
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        bool newer;
        {
          std::lock_guard check(lock_);
          newer = std::any_of(queue_.begin(), queue_.end(),
                              [](const Work& next) { return std::holds_alternative<Bytes>(next); });
        }
        if (!newer) present(frame, ms);
      });
    }
    lock.lock();
  }
}

void DecodeWorker::present(const AVFrame& frame, double decodeMs) {
  if (frame.width <= 0 || frame.height <= 0) return;
  int width;
  int height;
  {
    std::lock_guard lock(lock_);
    width = targetWidth_ > 0 ? targetWidth_ : frame.width;
    height = targetHeight_ > 0 ? targetHeight_ : frame.height;
  }
  scaler_ = sws_getCachedContext(scaler_, frame.width, frame.height, static_cast<AVPixelFormat>(frame.format),
                                 width, height, AV_PIX_FMT_BGR0, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (scaler_ == nullptr) return;

  // A buffer the window no longer holds, or a new one.
  std::shared_ptr<Picture> picture;
  for (auto& candidate : pool_) {
    if (candidate.use_count() == 1) {
      picture = candidate;
      break;
    }
  }
  if (!picture) {
    picture = std::make_shared<Picture>();
    if (pool_.size() < kPoolSize) pool_.push_back(picture);
  }
  picture->width = width;
  picture->height = height;
  picture->sourceWidth = frame.width;
  picture->sourceHeight = frame.height;
  picture->decodeMs = decodeMs;
  picture->pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
  std::uint8_t* planes[] = {picture->pixels.data()};
  const int strides[] = {width * 4};
  sws_scale(scaler_, frame.data, frame.linesize, 0, frame.height, planes, strides);
  {
    std::lock_guard lock(lock_);
    latest_ = std::move(picture);
  }
  if (onPicture_) onPicture_();
}

}  // namespace quorvanta::viewer
