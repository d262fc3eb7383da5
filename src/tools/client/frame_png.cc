// PNG images of decoded pictures: converted to RGB with libswscale, encoded with libavcodec's
// PNG encoder.

extern "C" {
#include <libswscale/swscale.h>
}

#include <memory>

#include "core/util/paths.h"
#include "tools/client/client_video.h"

namespace quorvanta::client {
namespace {

struct ScaleContextDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
using ScaleContextPtr = std::unique_ptr<SwsContext, ScaleContextDeleter>;

// The picture as packed RGB, or null.
av::FramePtr toRgb(const AVFrame& frame) {
  ScaleContextPtr scale(sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format),
                                       frame.width, frame.height, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr,
                                       nullptr, nullptr));
  av::FramePtr rgb(av_frame_alloc());
  if (!scale || !rgb) return nullptr;
  // Convert with the matrix and range the stream declares (BT.601 video range when it says nothing).
  const int matrix = frame.colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_ITU601;
  const int* coefficients = sws_getCoefficients(matrix);
  const int fullRange = frame.color_range == AVCOL_RANGE_JPEG ? 1 : 0;
  sws_setColorspaceDetails(scale.get(), coefficients, fullRange, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16,
                           1 << 16);
  rgb->format = AV_PIX_FMT_RGB24;
  rgb->width = frame.width;
  rgb->height = frame.height;
  if (av_frame_get_buffer(rgb.get(), 0) < 0) return nullptr;
  if (sws_scale(scale.get(), frame.data, frame.linesize, 0, frame.height, rgb->data, rgb->linesize) !=
      frame.height) {
    return nullptr;
  }
  return rgb;
}

// The PNG file's bytes, or nothing.
std::optional<Bytes> encodePng(const AVFrame& rgb) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (codec == nullptr) return std::nullopt;
  av::CodecContextPtr context(avcodec_alloc_context3(codec));
  av::PacketPtr packet(av_packet_alloc());
  if (!context || !packet) return std::nullopt;
  context->width = rgb.width;
  context->height = rgb.height;
  context->pix_fmt = AV_PIX_FMT_RGB24;
  context->time_base = AVRational{1, 1};
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return std::nullopt;
  if (avcodec_send_frame(context.get(), &rgb) < 0 ||
      avcodec_receive_packet(context.get(), packet.get()) < 0) {
    return std::nullopt;
  }
  return Bytes(packet->data, packet->data + packet->size);
}

}  // namespace

std::optional<std::string> saveFramePng(const AVFrame& frame, const std::filesystem::path& path) {
  const std::string failure = "The last frame could not be saved to " + path.string();
  const av::FramePtr rgb = toRgb(frame);
  const std::optional<Bytes> png = rgb ? encodePng(*rgb) : std::nullopt;
  if (!png) return failure + ": it could not be converted to PNG.";
  try {
    namespace fs = std::filesystem;
    writeFileAtomically(
        path, *png,
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  } catch (const std::filesystem::filesystem_error& error) {
    return failure + ": " + error.code().message() + ".";
  }
  return std::nullopt;
}

}  // namespace quorvanta::client
