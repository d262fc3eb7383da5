#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include <nlohmann/json.hpp>

namespace quorvanta {

// Reads an integer field of a protocol record: an integral JSON number within the field's range.
// A number written with a decimal point or exponent counts when it is a whole number that fits
// exactly. Anything else (a fraction, a value out of range, a string) gives false.
template <typename Int>
requires std::is_integral_v<Int>
bool readJsonInteger(const nlohmann::json& value, Int& out) {
  using Limits = std::numeric_limits<Int>;
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(Limits::max())) return false;
    out = static_cast<Int>(v);
    return true;
  }
  if (value.is_number_integer()) {
    const auto v = value.get<std::int64_t>();
    if constexpr (std::is_unsigned_v<Int>) {
      if (v < 0 || static_cast<std::uint64_t>(v) > Limits::max()) return false;
    } else {
      if (v < static_cast<std::int64_t>(Limits::min()) || v > static_cast<std::int64_t>(Limits::max()))
        return false;
    }
    out = static_cast<Int>(v);
    return true;
  }
  if (value.is_number_float()) {
    const double v = value.get<double>();
    if (!std::isfinite(v) || std::trunc(v) != v) return false;
    // Bounds as doubles: min() is exact; max() + 1 is a power of two and exact. An integer
    // literal beyond the 64-bit range arrives here as a double, and one just below -2^63 rounds
    // to -2^63 itself, so for a type wider than a double's mantissa min() is refused too.
    const double lower = static_cast<double>(Limits::min());
    const double upperExclusive = std::ldexp(1.0, Limits::digits);
    constexpr bool lowerExclusive =
        Limits::is_signed && Limits::digits >= std::numeric_limits<double>::digits;
    if (v < lower || (lowerExclusive && v <= lower) || v >= upperExclusive) return false;
    out = static_cast<Int>(v);
    return true;
  }
  return false;
}

}  // namespace quorvanta
