#include "core/trust/host_identity.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <optional>
#include <system_error>
#include <vector>

#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>

#include "core/protocol/utf8.h"
#include "core/util/paths.h"
#include "core/util/process.h"
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

// Removes the working directory and everything in it when creation ends, however it ends.
class WorkingDirectory {
 public:
  // Makes `path` with permissions 0700. Throws std::filesystem_error; nothing is left to remove
  // then.
  explicit WorkingDirectory(fs::path path) : path_(std::move(path)) {
    if (::mkdir(path_.c_str(), static_cast<mode_t>(kPrivateDirectory)) != 0) {
      throw fs::filesystem_error("Could not create the working directory", path_,
                                 std::error_code(errno, std::generic_category()));
    }
  }
  ~WorkingDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void runOpenssl(const std::string& opensslPath, const std::vector<std::string>& arguments,
                std::optional<std::string> standardInput) {
  ProcessOptions options;
  options.standardInput = std::move(standardInput);
  options.standardError = ProcessOptions::StandardError::mergeWithOutput;
  ProcessResult result;
  try {
    result = runProcess(opensslPath, arguments, options);
  } catch (const std::system_error& error) {
    // For example "Could not start /usr/bin/openssl: No such file or directory."
    throw QuorvantaError(std::string(error.what()) + ".");
  }
  if (result.exitStatus != 0) {
    throw QuorvantaError("Unable to create a TLS identity: " +
                         (isValidUtf8(result.output) ? result.output : std::string("unknown error")));
  }
}

// Makes a new key and self-signed certificate and leaves them, encrypted with `password`, in
// `identityFile`. The unencrypted key exists only inside the working directory, and the
// identity file appears only through the final rename.
void makeIdentity(const fs::path& directory, const fs::path& identityFile, const std::string& hostID,
                  const std::string& password, const std::string& opensslPath) {
  const WorkingDirectory work(directory / makeUuidText());
  // mkdir() applied the umask; the directory must be exactly 0700.
  fs::permissions(work.path(), kPrivateDirectory, fs::perm_options::replace);
  const std::string keyPath = (work.path() / "key.pem").string();
  const std::string certificatePath = (work.path() / "cert.pem").string();
  const fs::path containerPath = work.path() / "identity.p12";

  runOpenssl(
      opensslPath,
      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", keyPath, "-out", certificatePath, "-days",
       "3650", "-subj", "/CN=Quorvanta-" + hostID, "-addext", "basicConstraints=critical,CA:FALSE", "-addext",
       "keyUsage=critical,digitalSignature,keyEncipherment", "-addext", "extendedKeyUsage=serverAuth"},
      std::nullopt);
  fs::permissions(keyPath, kPrivateFile, fs::perm_options::replace);
  runOpenssl(opensslPath,
             {"pkcs12", "-export", "-inkey", keyPath, "-in", certificatePath, "-out", containerPath.string(),
              "-passout", "stdin"},
             password + "\n");
  fs::permissions(containerPath, kPrivateFile, fs::perm_options::replace);
  // Flushed before the rename so that a crash cannot leave an empty identity file behind, which
  // would otherwise block every later load.
  syncToDisk(containerPath);
  fs::rename(containerPath, identityFile);
  syncToDisk(directory);
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
  } catch (const fs::filesystem_error&) {
    // Missing or unreadable: a new host ID replaces it.
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
                                  bool allowCredentialInteraction, const std::string& opensslPath) {
  createDirectories(directory, kPrivateDirectory);
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

  if (!fs::exists(identityFile)) makeIdentity(directory, identityFile, hostID, *password, opensslPath);

  TlsIdentity tls = importPkcs12(readFile(identityFile, kMaxIdentityFileBytes), *password);
  std::string certificateHash = certificateSha256Hex(tls.certificate.get());
  if (certificateHash.empty()) throw QuorvantaError(kCertificateUnavailable);
  return HostIdentity(std::move(hostID), std::move(certificateHash), std::move(tls));
}

}  // namespace quorvanta
