#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include "client/h264_decoder.h"
#include "core/protocol/control_message.h"

struct SwsContext;

namespace quorvanta::viewer {

// One picture ready to draw: 32-bit pixels (B, G, R, X in memory), already scaled to the size
// the window asked for.
struct Picture {
  int width = 0;
  int height = 0;
  int sourceWidth = 0;  // the decoded video's size
  int sourceHeight = 0;
  std::vector<std::uint8_t> pixels;  // width * 4 bytes per row
  double decodeMs = 0;               // decoding the access unit that gave this picture
};

// Decodes the video on a thread of its own. Every packet is decoded (each one is a reference
// for the next), but only the newest picture is scaled and converted: a picture whose successor
// is already waiting is skipped. The newest picture waits in a slot that the window takes from;
// `onPicture` tells it (on the worker's thread) that a new one is there.
class DecodeWorker {
 public:
  // Throws QuorvantaError when no H.264 decoder can be opened.
  explicit DecodeWorker(std::function<void()> onPicture);
  ~DecodeWorker();
  DecodeWorker(const DecodeWorker&) = delete;
  DecodeWorker& operator=(const DecodeWorker&) = delete;

  // Any thread.
  void configure(const ControlMessage& videoConfig);
  void decode(Bytes payload);
  // The size pictures are scaled to; 0 × 0 keeps the video's own size.
  void setTargetSize(int width, int height);
  // The newest picture, or null when none arrived since the last call.
  std::shared_ptr<const Picture> take();
  bool hardware() const { return decoder_.hardware(); }

 private:
  using Work = std::variant<ControlMessage, Bytes>;
  void run();
  void present(const AVFrame& frame, double decodeMs);

  client::H264Decoder decoder_;
  std::function<void()> onPicture_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<Work> queue_;
  bool stopping_ = false;
  int targetWidth_ = 0;
  int targetHeight_ = 0;
  std::shared_ptr<Picture> latest_;
  std::vector<std::shared_ptr<Picture>> pool_;  // worker thread only
  SwsContext* scaler_ = nullptr;                // worker thread only
  std::thread thread_;
};

}  // namespace quorvanta::viewer
