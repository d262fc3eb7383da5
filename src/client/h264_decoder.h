#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/protocol/control_message.h"
#include "platform/linux/media/av_handles.h"

namespace quorvanta::client {

// Decodes the host's video: packets of a keyframe flag byte and length-prefixed NAL units, with
// the parameter sets arriving separately in "videoConfig" just before the keyframe that needs
// them. Each access unit goes to the decoder as Annex B, the parameter sets first when new ones
// arrived. Pictures come out in system memory (hardware pictures are copied down). One thread at
// a time.
class H264Decoder {
 public:
  enum class Acceleration { none, preferHardware };
  // Sees each decoded picture; it may take the picture's buffers with av_frame_move_ref.
  using PictureHandler = std::function<void(AVFrame& picture)>;

  // Throws QuorvantaError when libavcodec cannot decode H.264. With preferHardware the decoder
  // uses VA-API when the machine has a usable device, and software otherwise.
  explicit H264Decoder(Acceleration acceleration = Acceleration::none);

  // A "videoConfig" message; other messages are ignored.
  void configure(const ControlMessage& message);
  // One video packet's payload; the number of pictures it gave, or -1 when the packet is
  // malformed or the decoder refused it.
  int decode(std::span<const std::uint8_t> payload, const PictureHandler& onPicture);
  // Drains the decoder at the end of the stream; the number of pictures it gave.
  int flush(const PictureHandler& onPicture);

  bool hardware() const { return hardware_ != nullptr; }

 private:
  bool appendAnnexB(std::span<const std::uint8_t> frame);
  int drain(const PictureHandler& onPicture);

  av::CodecContextPtr context_;
  av::BufferRefPtr hardware_;
  av::PacketPtr packet_;
  av::FramePtr frame_;
  av::FramePtr download_;
  std::vector<std::uint8_t> parameterSets_;  // Annex B, sent with the next access unit
  std::vector<std::uint8_t> annexB_;
};

}  // namespace quorvanta::client
