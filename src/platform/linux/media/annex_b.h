#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/protocol/base64.h"

namespace quorvanta {

// One access unit rewritten from Annex-B (start codes) to 4-byte big-endian length prefixes, with
// the sequence and picture parameter sets taken out of the NAL unit stream.
struct AvccAccessUnit {
  Bytes data;                // every other NAL unit, in order, each with its length
  std::optional<Bytes> sps;  // the first sequence parameter set (NAL type 7), bare
  std::optional<Bytes> pps;  // the first picture parameter set (NAL type 8), bare
};

// Splits on 3- and 4-byte start codes. Zero bytes before a start code belong to it, not to the NAL
// unit before; empty NAL units are skipped. Access unit delimiters (type 9) are dropped as well:
// the length prefixes already delimit the unit.
AvccAccessUnit annexBToAvcc(std::span<const std::uint8_t> annexB);

}  // namespace quorvanta
