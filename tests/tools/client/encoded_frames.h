#pragma once

// Solid-colour H.264 access units made with libx264, for the tests of the receiving side.

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "platform/linux/media/annex_b.h"
#include "platform/linux/media/av_handles.h"

namespace quorvanta::client {

constexpr int kWidth = 160;
constexpr int kHeight = 120;

struct Rgb {
  int r = 0;
  int g = 0;
  int b = 0;
};

// The frames the test host sends: five of one colour, then one of another.
constexpr Rgb kFirstColour{40, 160, 220};
constexpr Rgb kLastColour{200, 40, 60};
constexpr int kFrameCount = 6;

inline std::uint8_t limitedRange(double value) {
  return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

// Solid 4:2:0 pictures in the limited-range BT.601 colours a decoder assumes by default, encoded
// by libx264 as length-prefixed access units with their parameter sets split out.
inline std::vector<AvccAccessUnit> encodeFrames() {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (codec == nullptr) return {};
  av::CodecContextPtr context(avcodec_alloc_context3(codec));
  context->width = kWidth;
  context->height = kHeight;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = AVRational{1, 30};
  context->gop_size = 300;
  context->max_b_frames = 0;
  av_opt_set(context->priv_data, "preset", "ultrafast", 0);
  av_opt_set(context->priv_data, "tune", "zerolatency", 0);
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return {};

  av::FramePtr frame(av_frame_alloc());
  av::PacketPtr packet(av_packet_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = kWidth;
  frame->height = kHeight;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return {};

  std::vector<AvccAccessUnit> units;
  const auto collect = [&] {
    while (avcodec_receive_packet(context.get(), packet.get()) >= 0) {
      units.push_back(annexBToAvcc({packet->data, static_cast<std::size_t>(packet->size)}));
      av_packet_unref(packet.get());
    }
  };
  for (int i = 0; i < kFrameCount; ++i) {
    const Rgb colour = i + 1 == kFrameCount ? kLastColour : kFirstColour;
    const double y = 16 + (65.481 * colour.r + 128.553 * colour.g + 24.966 * colour.b) / 255;
    const double u = 128 + (-37.797 * colour.r - 74.203 * colour.g + 112.0 * colour.b) / 255;
    const double v = 128 + (112.0 * colour.r - 93.786 * colour.g - 18.214 * colour.b) / 255;
    if (av_frame_make_writable(frame.get()) < 0) return {};
    const std::uint8_t planes[3] = {limitedRange(y), limitedRange(u), limitedRange(v)};
    for (int plane = 0; plane < 3; ++plane) {
      const int rows = plane == 0 ? kHeight : kHeight / 2;
      for (int row = 0; row < rows; ++row) {
        std::uint8_t* line = frame->data[plane] + row * frame->linesize[plane];
        std::fill(line, line + (plane == 0 ? kWidth : kWidth / 2), planes[plane]);
      }
    }
    frame->pts = i;
    if (avcodec_send_frame(context.get(), frame.get()) < 0) return {};
    collect();
  }
  avcodec_send_frame(context.get(), nullptr);
  collect();
  return units;
}

}  // namespace quorvanta::client
