#include "core/trust/secure_store.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <cstdlib>

namespace quorvanta {

QuorvantaError storageError(long status) {
  return QuorvantaError("Secure credential storage is unavailable (" + std::to_string(status) +
                        "). Unlock your device or login keychain and try again.");
}

std::string randomToken() {
  std::array<std::uint8_t, 32> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) throw storageError(kStatusRandomFailed);
  std::string token = base64UrlEncode(bytes);
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return token;
}

std::string hash(std::span<const std::uint8_t> data) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  // SHA-256 from the default provider cannot fail short of a broken OpenSSL installation; there is
  // no sensible way to go on without it.
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != 32)
    std::abort();

  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0x0F]);
  }
  return hex;
}

bool constantTimeEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // The accumulator is volatile so that the compiler cannot turn the loop into an early-exit
  // comparison: every byte pair is looked at, whatever the earlier ones were.
  volatile unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto x =
        static_cast<unsigned char>(static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]));
    difference = static_cast<unsigned char>(difference | x);
  }
  return difference == 0;
}

}  // namespace quorvanta
