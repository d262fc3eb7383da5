#pragma once

#include "core/protocol/control_message.h"
#include "core/transport/video_pacer.h"

namespace quorvanta {

// What the video pipeline needs of the connection that frames go to. The connection puts control
// messages and video frames on the wire in the order of the calls.
class VideoSink {
 public:
  virtual ~VideoSink() = default;
  virtual VideoPacer& pacer() = 0;
  virtual void send(const ControlMessage& message) = 0;
  // Takes over the pacer reservation held for this frame.
  virtual void sendVideo(Bytes frame, bool isKeyframe) = 0;
};

}  // namespace quorvanta
