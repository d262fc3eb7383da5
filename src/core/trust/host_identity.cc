#include "core/trust/host_identity.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <optional>
#include <system_error>
#include <vector>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include "core/protocol/utf8.h"
#include "core/util/paths.h"
#include "core/util/quorvanta_error.h"

namespace quorvanta {
namespace {

namespace fs = std::filesystem;

constexpr const char* kHostIdFileName = "host-id";
constexpr const char* kIdentityFileName = "host-identity.p12";
constexpr const char* kPasswordAccountPrefix = "identity-password-";
// Anything longer cannot be a UUID; a larger identity file is not one this host made.
constexpr std::size_t kMaxHostIdFileBytes = 4096;
constexpr std::size_t kMaxIdentityFileBytes = std::size_t{16} * 1024 * 1024;

constexpr const char* kPasswordMissing =
    "This host's identity password is missing from the Keychain. Restore the original Keychain before "
    "reconnecting your paired devices.";
constexpr const char* kCertificateUnavailable = "The host certificate is unavailable.";

constexpr auto kPrivateDirectory = fs::perms::owner_all;
constexpr auto kPrivateFile = fs::perms::owner_read | fs::perms::owner_write;

struct Pkcs12Deleter {
  void operator()(PKCS12* container) const { PKCS12_free(container); }
};
struct X509StackDeleter {
  void operator()(STACK_OF(X509) * certificates) const { sk_X509_pop_free(certificates, X509_free); }
};

struct ExtensionDeleter {
  void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};

[[noreturn]] void throwCreationError() {
  // OpenSSL's own words for what went wrong, as the command-line tool would have printed them.
  const unsigned long error = ERR_get_error();
  ERR_clear_error();
  char text[256] = "unknown error";
  if (error != 0) ERR_error_string_n(error, text, sizeof text);
  throw QuorvantaError(std::string("Unable to create a TLS identity: ") + text);
}

void check(bool succeeded) {
  if (!succeeded) throwCreationError();
}

// Adds the extension `name` = `value` (configuration syntax, as for openssl's -addext) to the
// self-signed `certificate`.
void addExtension(X509* certificate, int name, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  const std::unique_ptr<X509_EXTENSION, ExtensionDeleter> extension(
      X509V3_EXT_conf_nid(nullptr, &context, name, value));
  check(extension && X509_add_ext(certificate, extension.get(), -1) == 1);
}

// A new RSA key and self-signed certificate for `hostID`, as a PKCS#12 container encrypted with
// `password`. Everything stays in memory.
std::string makeIdentityContainer(const std::string& hostID, const std::string& password) {
  ERR_clear_error();
  const PrivateKey key(EVP_RSA_gen(2048));
  check(key != nullptr);
  const Certificate certificate(X509_new());
  X509* cert = certificate.get();
  check(cert != nullptr && X509_set_version(cert, X509_VERSION_3) == 1);
  // A random positive serial number of 159 bits, as openssl req chooses one.
  std::array<unsigned char, 20> serial{};
  check(RAND_bytes(serial.data(), static_cast<int>(serial.size())) == 1);
  serial[0] &= 0x7F;
  const std::unique_ptr<BIGNUM, decltype(&BN_free)> number(
      BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr), BN_free);
  check(number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert)) != nullptr);
  check(X509_gmtime_adj(X509_getm_notBefore(cert), 0) != nullptr);
  check(X509_time_adj_ex(X509_getm_notAfter(cert), 3650, 0, nullptr) != nullptr);
  check(X509_set_pubkey(cert, key.get()) == 1);
  const std::string commonName = "Quorvanta-" + hostID;
  X509_NAME* subject = X509_get_subject_name(cert);
  check(X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                                   0) == 1);
  check(X509_set_issuer_name(cert, subject) == 1);
  addExtension(cert, NID_subject_key_identifier, "hash");
  addExtension(cert, NID_authority_key_identifier, "keyid:always");
  addExtension(cert, NID_basic_constraints, "critical,CA:FALSE");
  addExtension(cert, NID_key_usage, "critical,digitalSignature,keyEncipherment");
  addExtension(cert, NID_ext_key_usage, "serverAuth");
  check(X509_sign(cert, key.get(), EVP_sha256()) > 0);

  // OpenSSL's defaults for new containers, as `openssl pkcs12 -export` uses them.
  const std::unique_ptr<PKCS12, Pkcs12Deleter> container(
      PKCS12_create(password.c_str(), nullptr, key.get(), cert, nullptr, 0, 0, 0, 0, 0));
  check(container != nullptr);
  unsigned char* der = nullptr;
  const int length = i2d_PKCS12(container.get(), &der);
  check(length > 0);
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return bytes;
}

// Makes a new identity and leaves it, encrypted with `password`, in `identityFile`. The
// unencrypted key never leaves memory, and the file appears complete or not at all.
void makeIdentity(const fs::path& identityFile, const std::string& hostID, const std::string& password) {
  writeFileAtomically(identityFile, asBytes(makeIdentityContainer(hostID, password)), kPrivateFile);
}

// Earlier versions made the identity with the openssl program in a working directory named by a
// UUID; one that a crash left behind holds an unencrypted key.
void removeLeftoverWorkingDirectories(const fs::path& directory) {
  std::error_code error;
  for (fs::directory_iterator entry(directory, error), end; !error && entry != end; entry.increment(error)) {
    if (!isUuidText(entry->path().filename().string())) continue;
    std::error_code ignored;
    if (entry->is_directory(ignored) && !entry->is_symlink(ignored)) fs::remove_all(entry->path(), ignored);
  }
}

[[noreturn]] void throwLoadError(long status) {
  throw QuorvantaError("Could not load the host TLS identity (" + std::to_string(status) + ").");
}

// The reason code of OpenSSL's most recent error on this thread, or -1 when there is none. The
// thread's error queue is cleared.
long lastOpensslReason() {
  const unsigned long error = ERR_peek_last_error();
  ERR_clear_error();
  return error == 0 ? -1 : static_cast<long>(ERR_GET_REASON(error));
}

// Decodes a PKCS#12 container in memory; nothing is added to any certificate store.
TlsIdentity importPkcs12(const std::string& contents, const std::string& password) {
  ERR_clear_error();
  const auto* cursor = reinterpret_cast<const unsigned char*>(contents.data());
  const std::unique_ptr<PKCS12, Pkcs12Deleter> container(
      d2i_PKCS12(nullptr, &cursor, static_cast<long>(contents.size())));
  if (!container) throwLoadError(lastOpensslReason());

  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  STACK_OF(X509)* chain = nullptr;
  const int parsed = PKCS12_parse(container.get(), password.c_str(), &key, &certificate, &chain);
  TlsIdentity identity{PrivateKey(key), Certificate(certificate)};
  const std::unique_ptr<STACK_OF(X509), X509StackDeleter> chainOwner(chain);
  if (parsed != 1) throwLoadError(lastOpensslReason());
  ERR_clear_error();
  // A key without its certificate (or the reverse) is no identity.
  if (!identity.key || !identity.certificate) throwLoadError(0);
  return identity;
}

std::string loadOrMakeHostID(const fs::path& directory) {
  const fs::path file = directory / kHostIdFileName;
  try {
    std::string text = readFile(file, kMaxHostIdFileBytes);
    if (isUuidText(text)) return text;
  } catch (const fs::filesystem_error& error) {
    // Only a missing file (or one too large to be an ID) is replaced. Any other failure, such
    // as a permission or I/O error, is reported: a new ID would orphan every paired device.
    if (error.code() != std::errc::no_such_file_or_directory && error.code() != std::errc::file_too_large)
      throw;
  }
  std::string hostID = makeUuidText();
  writeFileAtomically(file, asBytes(hostID), kPrivateFile);
  return hostID;
}

}  // namespace

std::string makeUuidText() {
  std::array<unsigned char, 16> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    ERR_clear_error();
    throw QuorvantaError("The system's random number generator is unavailable.");
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 15]);
  }
  return text;
}

bool isUuidText(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

HostIdentity HostIdentity::create(const fs::path& directory, SecureStore& store,
                                  bool allowCredentialInteraction) {
  createDirectories(directory, kPrivateDirectory);
  removeLeftoverWorkingDirectories(directory);
  std::string hostID = loadOrMakeHostID(directory);

  const std::string account = kPasswordAccountPrefix + hostID;
  std::optional<std::string> password;
  if (const auto stored = store.read(account, allowCredentialInteraction)) {
    std::string text(stored->begin(), stored->end());
    if (isValidUtf8(text)) password = std::move(text);
  }

  const fs::path identityFile = directory / kIdentityFileName;
  if (!password) {
    // A new password would make the existing file unreadable for good.
    if (fs::exists(identityFile)) throw QuorvantaError(kPasswordMissing);
    password = randomToken();
    store.write(asBytes(*password), account);
  }

  if (!fs::exists(identityFile)) makeIdentity(identityFile, hostID, *password);

  TlsIdentity tls = importPkcs12(readFile(identityFile, kMaxIdentityFileBytes), *password);
  std::string certificateHash = certificateSha256Hex(tls.certificate.get());
  if (certificateHash.empty()) throw QuorvantaError(kCertificateUnavailable);
  return HostIdentity(std::move(hostID), std::move(certificateHash), std::move(tls));
}

}  // namespace quorvanta
