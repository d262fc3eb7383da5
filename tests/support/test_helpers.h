#pragma once

#include <string>
#include <string_view>

#include "core/protocol/base64.h"
#include "core/util/quorvanta_error.h"

namespace quorvanta::test {

inline Bytes bytesOf(std::string_view text) {
  const auto span = asBytes(text);
  return Bytes(span.begin(), span.end());
}

// The sentence a call throws as QuorvantaError, or "" when it does not throw.
template <typename Call>
std::string thrownMessage(Call&& call) {
  try {
    call();
  } catch (const QuorvantaError& error) {
    return error.message();
  }
  return "";
}

}  // namespace quorvanta::test
