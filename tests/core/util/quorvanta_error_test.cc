#include "core/util/quorvanta_error.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace quorvanta {
namespace {

TEST(QuorvantaErrorTest, CaughtAsAStandardExceptionItSaysExactlyItsSentence) {
  // Nothing is trimmed, prefixed or suffixed, and UTF-8 passes through byte for byte.
  const std::string sentence =
      "  Der Bildschirm \xE2\x80\x9EStudio\xE2\x80\x9C ist nicht verf\xC3\xBCgbar.\n";
  try {
    throw QuorvantaError(sentence);
  } catch (const std::exception& error) {
    EXPECT_EQ(error.what(), sentence);
  }
}

}  // namespace
}  // namespace quorvanta
