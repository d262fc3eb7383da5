#include "core/util/quorvanta_error.h"

#include <gtest/gtest.h>

#include <exception>
#include <stdexcept>
#include <string>

namespace quorvanta {
namespace {

TEST(QuorvantaErrorTest, WhatIsExactlyTheSentence) {
  const std::string sentence = "TLS identity could not be activated.";
  const QuorvantaError error(sentence);
  EXPECT_EQ(std::string(error.what()), sentence);
  EXPECT_EQ(error.message(), sentence);
}

TEST(QuorvantaErrorTest, SentenceKeepsWhitespaceAndNonAsciiText) {
  // Nothing is trimmed, prefixed or suffixed, and UTF-8 passes through byte for byte.
  const std::string sentence =
      "  Der Bildschirm \xE2\x80\x9E"
      "Studio\xE2\x80\x9C ist nicht verf\xC3\xBC"
      "gbar.\n";
  EXPECT_EQ(std::string(QuorvantaError(sentence).what()), sentence);
  EXPECT_EQ(std::string(QuorvantaError("").what()), "");
}

TEST(QuorvantaErrorTest, CaughtAsStandardExceptionKeepsSentence) {
  const std::string sentence = "The Mac capture service timed out. Retrying may restore the display.";
  try {
    throw QuorvantaError(sentence);
  } catch (const std::exception& error) {
    EXPECT_EQ(std::string(error.what()), sentence);
    return;
  }
  FAIL() << "QuorvantaError is not a std::exception";
}

}  // namespace
}  // namespace quorvanta
