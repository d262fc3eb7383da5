#include "client/pinned_tls.h"

#include <asio/ssl.hpp>

#include "core/transport/tls_context.h"

namespace quorvanta::client {

PacketConnection::TlsStream pinnedTlsStream(asio::ip::tcp::socket socket, asio::ssl::context& context,
                                            const std::string& pin, std::shared_ptr<bool> mismatch) {
  PacketConnection::TlsStream stream(std::move(socket), context);
  std::error_code ignored;
  stream.set_verify_callback(
      [pin, mismatch = std::move(mismatch)](bool, asio::ssl::verify_context& verify) {
        X509_STORE_CTX* store = verify.native_handle();
        if (X509_STORE_CTX_get_error_depth(store) != 0) return true;
        const bool matches = certificateSha256Hex(X509_STORE_CTX_get_current_cert(store)) == pin;
        if (!matches) *mismatch = true;
        return matches;
      },
      ignored);
  return stream;
}

}  // namespace quorvanta::client
