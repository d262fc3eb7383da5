#pragma once

#include <memory>
#include <optional>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <asio/ssl/context.hpp>

namespace quorvanta {

struct EvpPkeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Deleter {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using PrivateKey = std::unique_ptr<EVP_PKEY, EvpPkeyDeleter>;
using Certificate = std::unique_ptr<X509, X509Deleter>;

// A key and its certificate, ready for a TLS server.
struct TlsIdentity {
  PrivateKey key;
  Certificate certificate;
};

// Both sides refuse anything older than TLS 1.2.
// The server presents `identity`; it asks no client certificate.
std::shared_ptr<asio::ssl::context> makeServerTlsContext(const TlsIdentity& identity);

// The client accepts a self-signed server certificate. With `pinnedCertificateHash` (64 lowercase
// hexadecimal characters, SHA-256 of the certificate's DER) the handshake fails unless the
// server's certificate has exactly that hash.
std::shared_ptr<asio::ssl::context> makeClientTlsContext(std::optional<std::string> pinnedCertificateHash);

// SHA-256 of the certificate's DER encoding as 64 lowercase hexadecimal characters, or empty
// when the certificate cannot be encoded.
std::string certificateSha256Hex(X509* certificate);

}  // namespace quorvanta
