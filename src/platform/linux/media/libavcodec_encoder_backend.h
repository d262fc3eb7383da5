#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/video/encoder_backend.h"

namespace quorvanta {

// H.264 sessions from libavcodec. Encoders are tried in order, each with the settings asked for:
//
//   h264_vaapi  only when the VA-API render node opens; frames are uploaded to GPU surfaces.
//               Low latency: low-power (fixed-function) mode, one frame in flight.
//   h264_nvenc  when the library has it and it opens (an NVIDIA GPU and driver are present).
//               Low latency: preset p1, tune ull, zerolatency, no frame delay.
//   libx264     preset veryfast, tune zerolatency (no lookahead, no frame delay, sliced threads),
//               forced keyframes as IDR. Always able to give low latency.
//
// Every encoder runs without B-frames (output order is input order), with the keyframe interval
// and the average and peak rates of the settings, and without global headers, so that keyframes
// carry their SPS and PPS in-band; those are split out into the sample's parameter sets. Profile:
// High when low latency is asked (x264 and the hardware encoders have no separate constrained
// High; without B-frames the stream stays within it), Main otherwise; the level is left to the
// encoder.
//
// Each session encodes on its own worker thread: submit() queues the frame, the worker encodes it
// and calls the frame's handler there with the access unit, or with a dropped output when the
// encoder gave nothing for the frame. An encoder that failed to open is not tried again by this
// backend (hardware does not come and go while the host runs, and each try is slow and noisy);
// libx264 is always tried.
class LibavcodecEncoderBackend final : public EncoderBackend {
 public:
  enum class Encoder { vaapi, nvenc, x264 };

  struct Options {
    std::vector<Encoder> encoders{Encoder::vaapi, Encoder::nvenc, Encoder::x264};
    std::string renderNode = "/dev/dri/renderD128";
  };

  LibavcodecEncoderBackend() : LibavcodecEncoderBackend(Options{}) {}
  explicit LibavcodecEncoderBackend(Options options) : options_(std::move(options)) {}

  std::unique_ptr<EncoderSession> createSession(const SessionSettings& settings, int& status) override;

 private:
  Options options_;
  std::mutex lock_;
  std::set<std::pair<Encoder, bool>> unavailable_;  // (encoder, low latency) that failed to open
};

}  // namespace quorvanta
