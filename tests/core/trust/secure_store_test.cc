#include "core/trust/secure_store.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace quorvanta {
namespace {

TEST(SecureStoreTest, StorageErrorIsTheFullSentenceWithSignedStatus) {
  EXPECT_EQ(storageError(-25308).message(),
            "Secure credential storage is unavailable (-25308). Unlock your device or login keychain and try "
            "again.");
  EXPECT_EQ(
      storageError(13).message(),
      "Secure credential storage is unavailable (13). Unlock your device or login keychain and try again.");
}

TEST(SecureStoreTest, TokensAreUrlSafeBase64OfThirtyTwoBytes) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string token = randomToken();
    ASSERT_EQ(token.size(), 43u) << token;
    for (const char c : token)
      ASSERT_TRUE((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == '_')
          << token;
    // 43 characters carry 258 bits; the last holds only the final 4 bits of the 32nd byte.
    const auto decoded = base64UrlDecode(token);
    ASSERT_TRUE(decoded.has_value()) << token;
    EXPECT_EQ(decoded->size(), 32u);
    seen.insert(token);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(SecureStoreTest, HashIsLowercaseHexSha256) {
  EXPECT_EQ(hash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hash(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // Bytes, not text: an embedded NUL is hashed like any other byte.
  const Bytes withNul{'a', 0x00, 'b'};
  EXPECT_NE(hash(withNul), hash("ab"));
  EXPECT_EQ(hash(withNul).size(), 64u);
  EXPECT_EQ(hash(withNul).find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(SecureStoreTest, ConstantTimeEqualComparesUtf8Bytes) {
  EXPECT_TRUE(constantTimeEqual("", ""));
  EXPECT_TRUE(constantTimeEqual("token-value", "token-value"));
  EXPECT_FALSE(constantTimeEqual("token", "token-"));
  EXPECT_FALSE(constantTimeEqual("", "a"));
  // A difference in the first or only the last byte is found: the whole length is compared.
  EXPECT_FALSE(constantTimeEqual("xbcdef", "abcdef"));
  EXPECT_FALSE(constantTimeEqual("abcdex", "abcdef"));
  // Precomposed é against e + combining acute: equal as characters, different as bytes.
  EXPECT_FALSE(constantTimeEqual("caf\xC3\xA9", "cafe\xCC\x81"));
  EXPECT_FALSE(constantTimeEqual("\xC3\xA9", "e\xCC\x81"));
}

}  // namespace
}  // namespace quorvanta
