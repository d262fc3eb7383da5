#pragma once

#include <optional>

#include "core/protocol/base64.h"

namespace quorvanta {

// Sequence and picture parameter sets, each one bare NAL unit (no start code, no length).
struct ParameterSets {
  Bytes sps;
  Bytes pps;
};

// One H.264 access unit: its NAL units, each preceded by a 4-byte big-endian length. Keyframes
// that start a new coded sequence carry their parameter sets separately; they are not repeated
// inside `data`.
struct EncodedFrame {
  Bytes data;
  bool keyframe = false;
  std::optional<ParameterSets> parameterSets;
};

}  // namespace quorvanta
