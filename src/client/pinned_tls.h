#pragma once

#include <memory>
#include <string>

#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>

#include "core/transport/packet_connection.h"

namespace quorvanta::client {

// A TLS stream over `socket` that accepts only the host certificate whose SHA-256 is `pin` (the
// context from makeClientTlsContext(pin) checks the same). `mismatch` becomes true when the host
// presented another certificate, so that a refused certificate can be told apart from any other
// failed handshake.
PacketConnection::TlsStream pinnedTlsStream(asio::ip::tcp::socket socket, asio::ssl::context& context,
                                            const std::string& pin, std::shared_ptr<bool> mismatch);

// What the user is told when `mismatch` became true.
inline constexpr const char* kCertificateMismatch = "The host's certificate does not match the pairing link.";

}  // namespace quorvanta::client
