#pragma once

#include <string_view>

namespace quorvanta {

// `text` without the leading and trailing characters found in `space`.
inline std::string_view trimmed(std::string_view text, std::string_view space = " \t\r\n\f\v") {
  const auto first = text.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(space);
  return text.substr(first, last - first + 1);
}

}  // namespace quorvanta
