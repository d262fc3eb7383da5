#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <asio/ssl/context.hpp>

#include "core/transport/tls_context.h"
#include "core/trust/secure_store.h"

namespace quorvanta {

// The host's stable identity: a host ID (a UUID kept in "host-id"), a self-signed RSA certificate
// with its key in a password-protected "host-identity.p12", and the certificate's SHA-256, which
// pairing invitations carry so that clients can pin it. The password lives in the secure store
// under "identity-password-<host ID>".
class HostIdentity {
 public:
  // Loads the identity kept in `directory`, making whatever is missing: the directory (0700,
  // with its parents), the host ID, the password and a new key and certificate (RSA 2048,
  // self-signed, CN "Quorvanta-<host ID>", 3650 days, CA false, digital signature and key
  // encipherment, server authentication), made in memory and written only as the encrypted
  // PKCS#12 file. Working directories that earlier versions left behind are removed.
  // `allowCredentialInteraction` is passed to the store's read.
  //
  // Throws:
  // - std::filesystem_error for the directory, the host-ID file (a missing file is replaced by a
  //   new ID; any other read error is thrown, since a new ID would orphan every paired device),
  //   the identity-file write and read;
  // - the store's storageError for a failed credential read or write;
  // - QuorvantaError "This host's identity password is missing from the Keychain. Restore the
  //   original Keychain before reconnecting your paired devices." when the identity file exists
  //   but no usable password does (the file is left in place);
  // - QuorvantaError "Unable to create a TLS identity: <OpenSSL's error text>" when making the
  //   key, certificate or container fails;
  // - QuorvantaError "Could not load the host TLS identity (<status>)." when the file does not
  //   load. The status is the reason code of OpenSSL's last error (for example 113, "mac verify
  //   failure", for a wrong password), -1 when OpenSSL recorded none, and 0 when the file loads
  //   but holds no private key with its certificate;
  // - QuorvantaError "The host certificate is unavailable." when the certificate cannot be
  //   encoded.
  static HostIdentity create(const std::filesystem::path& directory, SecureStore& store,
                             bool allowCredentialInteraction);

  HostIdentity(HostIdentity&&) noexcept = default;
  HostIdentity& operator=(HostIdentity&&) noexcept = default;

  const std::string& hostID() const { return hostID_; }
  // 64 lowercase hexadecimal characters: SHA-256 of the certificate's DER encoding.
  const std::string& certificateHash() const { return certificateHash_; }
  const TlsIdentity& tls() const { return tls_; }
  // A TLS server context presenting this identity.
  std::shared_ptr<asio::ssl::context> makeServerContext() const { return makeServerTlsContext(tls_); }

 private:
  HostIdentity(std::string hostID, std::string certificateHash, TlsIdentity tls)
      : hostID_(std::move(hostID)), certificateHash_(std::move(certificateHash)), tls_(std::move(tls)) {}

  std::string hostID_;
  std::string certificateHash_;
  TlsIdentity tls_;
};

// A new random (version 4) UUID in the upper-case 8-4-4-4-12 form. Throws QuorvantaError when
// the system's random source fails.
std::string makeUuidText();

// True when the whole of `text` is a UUID in the 8-4-4-4-12 hexadecimal form, in either case.
bool isUuidText(std::string_view text);

}  // namespace quorvanta
