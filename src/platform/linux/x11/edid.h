#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quorvanta::x11 {

// The monitor name (display descriptor 0xFC) of an EDID base block, without its line feed and
// padding, or nothing when the block is malformed or names no monitor.
std::optional<std::string> edidMonitorName(std::span<const std::uint8_t> edid);

}  // namespace quorvanta::x11
