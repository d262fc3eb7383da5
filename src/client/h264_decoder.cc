#include "client/h264_decoder.h"

#include <algorithm>
#include <climits>
#include <iterator>

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
}

#include "core/util/quorvanta_error.h"

namespace quorvanta::client {
namespace {

constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};

// Keeps VA-API surfaces when the decoder offers them, else the first software format.
AVPixelFormat chooseFormat(AVCodecContext*, const AVPixelFormat* formats) {
  for (const AVPixelFormat* format = formats; *format != AV_PIX_FMT_NONE; ++format) {
    if (*format == AV_PIX_FMT_VAAPI) return *format;
  }
  for (const AVPixelFormat* format = formats; *format != AV_PIX_FMT_NONE; ++format) {
    if (!(av_pix_fmt_desc_get(*format)->flags & AV_PIX_FMT_FLAG_HWACCEL)) return *format;
  }
  return AV_PIX_FMT_NONE;
}

}  // namespace

H264Decoder::H264Decoder(Acceleration acceleration)
    : packet_(av_packet_alloc()), frame_(av_frame_alloc()), download_(av_frame_alloc()) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) throw QuorvantaError("This libavcodec has no H.264 decoder.");
  context_.reset(avcodec_alloc_context3(codec));
  if (!context_ || !packet_ || !frame_ || !download_)
    throw QuorvantaError("The video decoder could not be set up.");
  // Every picture as soon as its access unit is in: no frame threads, which would hold pictures
  // back, but slices may still be decoded in parallel.
  context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
  context_->thread_type = FF_THREAD_SLICE;
  context_->thread_count = 2;
  if (acceleration == Acceleration::preferHardware) {
    AVBufferRef* device = nullptr;
    if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) >= 0) {
      hardware_.reset(device);
      context_->hw_device_ctx = av_buffer_ref(device);
      context_->get_format = chooseFormat;
    }
  }
  if (avcodec_open2(context_.get(), codec, nullptr) < 0) {
    throw QuorvantaError("The H.264 decoder could not be opened.");
  }
}

void H264Decoder::configure(const ControlMessage& message) {
  if (message.type != "videoConfig" || !message.sps || !message.pps) return;
  parameterSets_.clear();
  for (const Bytes* set : {&*message.sps, &*message.pps}) {
    parameterSets_.insert(parameterSets_.end(), std::begin(kStartCode), std::end(kStartCode));
    parameterSets_.insert(parameterSets_.end(), set->begin(), set->end());
  }
}

int H264Decoder::decode(std::span<const std::uint8_t> payload, const PictureHandler& onPicture) {
  annexB_.clear();
  if (payload.empty() || !appendAnnexB(payload.subspan(1))) return -1;
  if (annexB_.size() > static_cast<std::size_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) return -1;
  av_packet_unref(packet_.get());
  if (av_new_packet(packet_.get(), static_cast<int>(annexB_.size())) < 0) return -1;
  std::copy(annexB_.begin(), annexB_.end(), packet_->data);
  if (avcodec_send_packet(context_.get(), packet_.get()) < 0) return -1;
  return drain(onPicture);
}

int H264Decoder::flush(const PictureHandler& onPicture) {
  if (avcodec_send_packet(context_.get(), nullptr) < 0) return 0;
  return drain(onPicture);
}

bool H264Decoder::appendAnnexB(std::span<const std::uint8_t> frame) {
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

int H264Decoder::drain(const PictureHandler& onPicture) {
  int pictures = 0;
  while (avcodec_receive_frame(context_.get(), frame_.get()) >= 0) {
    AVFrame* picture = frame_.get();
    if (frame_->format == AV_PIX_FMT_VAAPI) {
      av_frame_unref(download_.get());
      if (av_hwframe_transfer_data(download_.get(), frame_.get(), 0) < 0) {
        av_frame_unref(frame_.get());
        continue;
      }
      av_frame_copy_props(download_.get(), frame_.get());
      av_frame_unref(frame_.get());
      picture = download_.get();
    }
    ++pictures;
    onPicture(*picture);
    av_frame_unref(picture);
  }
  return pictures;
}

}  // namespace quorvanta::client
