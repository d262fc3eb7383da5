#include "core/protocol/base64.h"
#include "support/test_helpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvanta {
namespace {

using test::bytesOf;

// Every byte value, in an order that puts each in every position of a three-byte group.
Bytes allByteValues(std::size_t count) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i)
    bytes[i] = static_cast<std::uint8_t>((i * 97 + 13) & 0xFF);
  return bytes;
}

TEST(Base64Test, StandardEncodingMatchesRfc4648Vectors) {
  const std::vector<std::pair<std::string, std::string>> vectors = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    SCOPED_TRACE(plain);
    EXPECT_EQ(base64Encode(asBytes(plain)), encoded);
    EXPECT_EQ(base64Decode(encoded), bytesOf(plain));
  }
}

TEST(Base64Test, StandardAlphabetUsesPlusAndSlash) {
  EXPECT_EQ(base64Encode(Bytes{0x00, 0x01, 0x02}), "AAEC");
  EXPECT_EQ(base64Encode(Bytes{0xFB, 0xFF, 0xBF}), "+/+/");
  EXPECT_EQ(base64Decode("+/+/"), (Bytes{0xFB, 0xFF, 0xBF}));
  EXPECT_EQ(base64Encode(Bytes{0xFF}), "/w==");
  EXPECT_EQ(base64Decode("AAEC"), (Bytes{0x00, 0x01, 0x02}));
}

TEST(Base64Test, StandardDecodingIsStrict) {
  const std::vector<std::string_view> refused = {
      "A",
      "AA",
      "AAE",
      "AAECA",  // length not a multiple of four
      "AAE\n",
      " AAE",
      "AA EC",
      "AAEC\r\n",  // whitespace anywhere
      "AAE-",
      "AAE_",
      "AA.C",
      "AAE\xC3",  // characters outside the alphabet
      "=AEC",
      "A=EC",
      "AA=C",
      "=AAA",  // '=' before the end
      "A===",
      "====",
      "AAEC====",
      "Zg==Zg==",  // too much or misplaced padding
      std::string_view("AA\0C", 4),
  };
  for (const auto text : refused) {
    SCOPED_TRACE(std::string(text));
    EXPECT_EQ(base64Decode(text), std::nullopt);
  }
}

TEST(Base64Test, StandardRoundTripsEveryLength) {
  for (std::size_t length = 0; length <= 260; ++length) {
    SCOPED_TRACE(length);
    const Bytes bytes = allByteValues(length);
    const std::string encoded = base64Encode(bytes);
    EXPECT_EQ(encoded.size(), (length + 2) / 3 * 4);
    EXPECT_EQ(base64Decode(encoded), bytes);
  }
}

TEST(Base64Test, UrlSafeEncodingHasNoPaddingForEachRemainder) {
  EXPECT_EQ(base64UrlEncode(Bytes{}), "");
  EXPECT_EQ(base64UrlEncode(Bytes{0xFB, 0xFF, 0xBF}), "-_-_");                 // remainder 0
  EXPECT_EQ(base64UrlEncode(Bytes{0xFB, 0xFF, 0xBF, 0xFF}), "-_-__w");         // remainder 1
  EXPECT_EQ(base64UrlEncode(Bytes{0xFB, 0xFF, 0xBF, 0xFF, 0xEF}), "-_-__-8");  // remainder 2
  EXPECT_EQ(base64UrlEncode(asBytes("foobar")), "Zm9vYmFy");
  EXPECT_EQ(base64UrlEncode(asBytes("fooba")), "Zm9vYmE");
}

TEST(Base64Test, UrlSafeDecodingAcceptsUnpaddedAndPaddedText) {
  EXPECT_EQ(base64UrlDecode(""), Bytes{});
  EXPECT_EQ(base64UrlDecode("-_-_"), (Bytes{0xFB, 0xFF, 0xBF}));
  EXPECT_EQ(base64UrlDecode("-_-__w"), (Bytes{0xFB, 0xFF, 0xBF, 0xFF}));
  EXPECT_EQ(base64UrlDecode("-_-__w=="), (Bytes{0xFB, 0xFF, 0xBF, 0xFF}));
  EXPECT_EQ(base64UrlDecode("-_-__-8"), (Bytes{0xFB, 0xFF, 0xBF, 0xFF, 0xEF}));
  EXPECT_EQ(base64UrlDecode("-_-__-8="), (Bytes{0xFB, 0xFF, 0xBF, 0xFF, 0xEF}));
}

TEST(Base64Test, UrlSafeDecodingRefusesOtherText) {
  const std::vector<std::string_view> refused = {
      "A",    "AAAAA",                            // a single character left over
      "+/+/", "AA/A",                             // standard-alphabet characters
      "AA=",  "-_-__w=", "A===", "=AAA", "AA=A",  // padding that does not complete a group
      "AA A", "AAA\n",
  };
  for (const auto text : refused) {
    SCOPED_TRACE(std::string(text));
    EXPECT_EQ(base64UrlDecode(text), std::nullopt);
  }
}

TEST(Base64Test, UrlSafeRoundTripsEveryLength) {
  for (std::size_t length = 0; length <= 260; ++length) {
    SCOPED_TRACE(length);
    const Bytes bytes = allByteValues(length);
    const std::string encoded = base64UrlEncode(bytes);
    EXPECT_EQ(encoded.find_first_of("+/="), std::string::npos);
    EXPECT_EQ(base64UrlDecode(encoded), bytes);
  }
}

}  // namespace
}  // namespace quorvanta
