#include "core/protocol/base64.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

namespace quorvanta {
namespace {

TEST(Base64Test, BothAlphabetsRoundTripEveryLengthWithTheirPadding) {
  EXPECT_EQ(base64Encode(Bytes{0xFB, 0xFF, 0xBF, 0xFF}), "+/+//w==");
  EXPECT_EQ(base64UrlEncode(Bytes{0xFB, 0xFF, 0xBF, 0xFF}), "-_-__w");
  EXPECT_EQ(base64UrlEncode(Bytes{0xFB, 0xFF, 0xBF, 0xFF, 0xEF}), "-_-__-8");
  EXPECT_EQ(base64UrlDecode("-_-__w=="), (Bytes{0xFB, 0xFF, 0xBF, 0xFF}));
  for (std::size_t length = 0; length <= 260; ++length) {
    SCOPED_TRACE(length);
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i)
      bytes[i] = static_cast<std::uint8_t>((i * 97 + 13) & 0xFF);
    const std::string standard = base64Encode(bytes);
    EXPECT_EQ(standard.size(), (length + 2) / 3 * 4);
    EXPECT_EQ(base64Decode(standard), bytes);
    const std::string urlSafe = base64UrlEncode(bytes);
    EXPECT_EQ(urlSafe.find_first_of("+/="), std::string::npos);
    EXPECT_EQ(base64UrlDecode(urlSafe), bytes);
  }
}

TEST(Base64Test, DecodingRefusesWhatIsNotExactlyItsAlphabet) {
  const std::string_view standardRefused[] = {"A",
                                              "AAECA",
                                              "AAE\n",
                                              "AA EC",
                                              "AAE-",
                                              "AAE\xC3",
                                              "A=EC",
                                              "=AAA",
                                              "A===",
                                              "====",
                                              "AAEC====",
                                              "Zg==Zg==",
                                              std::string_view("AA\0C", 4)};
  for (const auto text : standardRefused)
    EXPECT_EQ(base64Decode(text), std::nullopt) << text;
  const std::string_view urlRefused[] = {"A", "AAAAA", "+/+/", "AA=", "-_-__w=", "=AAA", "AA=A", "AAA\n"};
  for (const auto text : urlRefused)
    EXPECT_EQ(base64UrlDecode(text), std::nullopt) << text;
}

}  // namespace
}  // namespace quorvanta
