#include "core/transport/tls_context.h"

#include <openssl/sha.h>
#include <openssl/ssl.h>

#include "core/util/quorvanta_error.h"

namespace quorvanta {
namespace {

constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

std::shared_ptr<asio::ssl::context> baseContext(asio::ssl::context::method method) {
  auto context = std::make_shared<asio::ssl::context>(method);
  SSL_CTX* native = context->native_handle();
  if (SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) != 1) {
    throw QuorvantaError("TLS could not be configured.");
  }
  context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_compression);
  // The protocol never renegotiates; refusing it removes a class of mid-stream surprises.
  SSL_CTX_set_options(native, SSL_OP_NO_RENEGOTIATION);
  return context;
}

}  // namespace

std::shared_ptr<asio::ssl::context> makeServerTlsContext(const TlsIdentity& identity) {
  auto context = baseContext(asio::ssl::context::tls_server);
  SSL_CTX* native = context->native_handle();
  // TLS 1.2 offers forward-secret AEAD suites only, in the server's order; TLS 1.3 keeps its own.
  if (SSL_CTX_set_cipher_list(native, kTls12Ciphers) != 1)
    throw QuorvantaError("TLS could not be configured.");
  SSL_CTX_set_options(native, SSL_OP_CIPHER_SERVER_PREFERENCE);
  if (!identity.key || !identity.certificate ||
      SSL_CTX_use_certificate(native, identity.certificate.get()) != 1 ||
      SSL_CTX_use_PrivateKey(native, identity.key.get()) != 1 || SSL_CTX_check_private_key(native) != 1) {
    throw QuorvantaError("TLS identity could not be activated.");
  }
  return context;
}

std::shared_ptr<asio::ssl::context> makeClientTlsContext(std::optional<std::string> pinnedCertificateHash) {
  auto context = baseContext(asio::ssl::context::tls_client);
  if (!pinnedCertificateHash) {
    context->set_verify_mode(asio::ssl::verify_none);
    return context;
  }
  context->set_verify_mode(asio::ssl::verify_peer);
  context->set_verify_callback(
      [pin = std::move(*pinnedCertificateHash)](bool, asio::ssl::verify_context& verify) {
        X509_STORE_CTX* store = verify.native_handle();
        // Only the server's own certificate is pinned; a self-signed chain has no other links.
        if (X509_STORE_CTX_get_error_depth(store) != 0) return true;
        return certificateSha256Hex(X509_STORE_CTX_get_current_cert(store)) == pin;
      });
  return context;
}

std::string certificateSha256Hex(X509* certificate) {
  if (!certificate) return {};
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  if (length <= 0) return {};
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(der, static_cast<std::size_t>(length), digest);
  OPENSSL_free(der);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * SHA256_DIGEST_LENGTH);
  for (const unsigned char byte : digest) {
    hex.push_back(kHex[byte >> 4]);
    hex.push_back(kHex[byte & 15]);
  }
  return hex;
}

}  // namespace quorvanta
