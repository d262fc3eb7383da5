#pragma once

#include <functional>

namespace quorvanta {

// Seconds since boot on the monotonic clock (CLOCK_MONOTONIC), which does not jump when the
// wall clock is set.
double monotonicSeconds();

// A time source that can be replaced in tests.
using Clock = std::function<double()>;

}  // namespace quorvanta
