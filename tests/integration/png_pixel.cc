#include "png_pixel.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/linux/media/av_handles.h"

namespace quorvanta::test {

// Decoded with libavcodec's PNG decoder.
std::optional<Rgb> pngPixel(const std::filesystem::path& file, int x, int y) {
  std::ifstream input(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(input)), {});
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
  av::CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context || avcodec_open2(context.get(), codec, nullptr) < 0) return std::nullopt;
  av::PacketPtr packet(av_packet_alloc());
  av::FramePtr frame(av_frame_alloc());
  if (av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) return std::nullopt;
  std::copy(bytes.begin(), bytes.end(), packet->data);
  if (avcodec_send_packet(context.get(), packet.get()) < 0 ||
      avcodec_receive_frame(context.get(), frame.get()) < 0)
    return std::nullopt;
  if (frame->format != AV_PIX_FMT_RGB24 || x >= frame->width || y >= frame->height) return std::nullopt;
  const std::uint8_t* pixel = frame->data[0] + y * frame->linesize[0] + x * 3;
  return Rgb{pixel[0], pixel[1], pixel[2]};
}

}  // namespace quorvanta::test
