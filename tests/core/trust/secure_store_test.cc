#include "core/trust/secure_store.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace quorvanta {
namespace {

TEST(SecureStoreTest, TokensAreDistinctUrlSafeBase64OfThirtyTwoBytes) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string token = randomToken();
    ASSERT_EQ(token.size(), 43u) << token;
    const auto decoded = base64UrlDecode(token);
    ASSERT_TRUE(decoded.has_value()) << token;
    EXPECT_EQ(decoded->size(), 32u);
    seen.insert(token);
  }
  EXPECT_EQ(seen.size(), 200u);
  EXPECT_EQ(hash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(SecureStoreTest, ConstantTimeEqualComparesEveryByte) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  };
  const Case cases[] = {{"", "", true},
                        {"token-value", "token-value", true},
                        {"token", "token-", false},
                        {"", "a", false},
                        {"xbcdef", "abcdef", false},
                        {"abcdex", "abcdef", false},
                        {"abxdef", "abcdef", false},
                        {"caf\xC3\xA9", "cafe\xCC\x81", false}};
  for (const auto& c : cases)
    EXPECT_EQ(constantTimeEqual(c.a, c.b), c.equal) << c.a << " / " << c.b;
}

}  // namespace
}  // namespace quorvanta
