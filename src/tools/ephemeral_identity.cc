#include "tools/ephemeral_identity.h"

#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace quorvanta {

TlsIdentity makeEphemeralIdentity(const std::string& commonName) {
  TlsIdentity identity;
  identity.key.reset(EVP_EC_gen("P-256"));
  if (!identity.key) throw std::runtime_error("key generation failed");
  identity.certificate.reset(X509_new());
  X509* cert = identity.certificate.get();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert), 60L * 60 * 24 * 30);
  X509_set_pubkey(cert, identity.key.get());
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  if (X509_sign(cert, identity.key.get(), EVP_sha256()) <= 0) throw std::runtime_error("signing failed");
  return identity;
}

}  // namespace quorvanta
