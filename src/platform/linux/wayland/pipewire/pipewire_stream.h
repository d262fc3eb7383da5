#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quorvanta::wayland {

// One picture from a stream in B, G, R, X (or A) byte order; valid only during the callback.
struct VideoPicture {
  std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes per row
};

// A video stream received from a PipeWire node through shared memory, on a PipeWire thread of
// its own. Buffers that are empty or flagged corrupted never reach the callback.
class PipeWireStream {
 public:
  struct Callbacks {
    // Each complete picture, on PipeWire's thread.
    std::function<void(const VideoPicture&)> onPicture;
    // Once, when the stream fails or its producer goes away, on PipeWire's thread.
    std::function<void(const std::string&)> onEnded;
  };

  // Connects to `node` through `remoteFd` (a PipeWire remote the desktop opened for us, taken
  // over here) or, when it is -1, through the session's PipeWire daemon. Throws
  // std::runtime_error with a sentence when PipeWire cannot be reached.
  PipeWireStream(std::uint32_t node, Callbacks callbacks, int remoteFd = -1);
  // Disconnects; no callback runs once it has returned.
  ~PipeWireStream();
  PipeWireStream(const PipeWireStream&) = delete;
  PipeWireStream& operator=(const PipeWireStream&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quorvanta::wayland
