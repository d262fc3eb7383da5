#pragma once

#include <chrono>
#include <cstdint>

namespace quorvanta::viewer {

// The host clamps a stream's maximum width to this range.
inline constexpr std::int64_t kMinStreamWidth = 960;
inline constexpr std::int64_t kMaxStreamWidth = 3840;
// How often the viewer pings during a session.
inline constexpr std::chrono::milliseconds kPingInterval{5'000};
// How long admission may take before the attempt counts as failed.
inline constexpr std::chrono::milliseconds kAdmissionTimeout{15'000};

// The "stream" maxWidth for a window `devicePixels` wide, within the host's clamps.
std::int64_t streamWidthFor(double devicePixels);

// Whether a window now wanting `proposed` pixels differs enough from the stream's `current`
// width to ask for a new stream: by more than a tenth.
bool widthChangeIsSignificant(std::int64_t current, std::int64_t proposed);

// The wait before reconnection attempt `attempt` (1 for the first after a drop): 1, 2, 4 and 8
// seconds, then 15 seconds for every later one.
std::chrono::milliseconds reconnectDelay(int attempt);

}  // namespace quorvanta::viewer
