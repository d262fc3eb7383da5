#pragma once

// A scripted host on loopback for the client's tests, and a fixture that runs the client
// against it with a private state file.

#include <chrono>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/protocol/pairing_invitation.h"
#include "core/transport/packet_connection.h"
#include "core/transport/tls_context.h"
#include "core/trust/host_identity.h"
#include "support/test_tls.h"
#include "tools/client/client_session.h"
#include "client/client_state.h"
#include "tools/client/scratch_directory.h"

namespace quorvanta::client {

inline constexpr const char* kHostID = "0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9";

inline const TlsIdentity& hostIdentity() {
  static const TlsIdentity identity = test::makeTestIdentity();
  return identity;
}

inline ControlMessage message(std::string type, std::optional<std::string> text = std::nullopt) {
  auto result = ControlMessage::make(std::move(type));
  result.message = std::move(text);
  return result;
}

// What the client prints for these messages: one encoded message a line.
inline std::string jsonLines(const std::vector<ControlMessage>& messages) {
  std::string text;
  for (const auto& each : messages)
    text += encodeControlMessage(each).value() + "\n";
  return text;
}

inline ControlMessage pairedMessage() {
  auto paired = ControlMessage::make("paired");
  paired.hostID = kHostID;
  paired.name = "Test host";
  paired.token = "new-token";
  return paired;
}

inline ControlMessage takenOverMessage() {
  auto takenOver = message("takenOver", "Your session moved to Other phone.");
  takenOver.deviceName = "Other phone";
  return takenOver;
}

inline ControlMessage rejectedMessage() {
  return message("authRejected", "This device is no longer trusted. Pair it with the Mac again.");
}

// "streaming" for one 160 by 120 display.
inline ControlMessage streamingMessage() {
  auto streaming = ControlMessage::make("streaming");
  streaming.displays = std::vector<RemoteDisplay>{{7, "Test display", 160, 120}};
  streaming.displayID = 7;
  streaming.width = 160;
  streaming.height = 120;
  streaming.controlAllowed = true;
  return streaming;
}

// A host on 127.0.0.1 that answers each control message with a script and records what arrived.
class ScriptedHost {
 public:
  using Script = std::function<void(PacketConnection&, const ControlMessage&)>;

  explicit ScriptedHost(Script script)
      : script_(std::move(script)),
        tls_(makeServerTlsContext(hostIdentity())),
        acceptor_(threads_.context(), {asio::ip::address_v4::loopback(), 0}) {
    accept();
  }
  ~ScriptedHost() { threads_.stop(); }

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

  std::vector<ControlMessage> received() {
    std::lock_guard guard(lock_);
    return received_;
  }
  std::string peerAddress() {
    std::lock_guard guard(lock_);
    return peerAddress_;
  }
  std::vector<std::shared_ptr<PacketConnection>> connections() {
    std::lock_guard guard(lock_);
    return connections_;
  }

 private:
  void accept() {
    acceptor_.async_accept([this](const std::error_code& error, asio::ip::tcp::socket socket) {
      if (error) return;
      auto connection = PacketConnection::create({std::move(socket), *tls_}, PacketConnection::Role::server);
      {
        std::lock_guard guard(lock_);
        peerAddress_ = connection->remoteAddress();
        connections_.push_back(connection);
      }
      PacketConnection* raw = connection.get();
      connection->setOnControl([this, raw](ControlMessage message) {
        {
          std::lock_guard guard(lock_);
          received_.push_back(message);
        }
        script_(*raw, message);
      });
      connection->start();
      accept();
    });
  }

  Script script_;
  test::IoThreads threads_{1};
  std::shared_ptr<asio::ssl::context> tls_;
  asio::ip::tcp::acceptor acceptor_;
  std::mutex lock_;
  std::vector<ControlMessage> received_;
  std::vector<std::shared_ptr<PacketConnection>> connections_;
  std::string peerAddress_;
};

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

class ClientTest : public testing::Test {
 protected:
  std::filesystem::path statePath() const { return scratch_.path() / "config" / "state.json"; }

  std::string link(std::uint16_t port, std::string certificateHash = "") const {
    PairingInvitation invitation;
    invitation.hostID = kHostID;
    invitation.name = "Test host";
    invitation.address = "127.0.0.1";
    invitation.port = port;
    invitation.certificateHash =
        certificateHash.empty() ? certificateSha256Hex(hostIdentity().certificate.get()) : certificateHash;
    invitation.secret = "invitation-secret";
    invitation.expiresAt = 1e9;
    return invitation.url().value();
  }

  void storePairing(std::uint16_t port) const {
    saveClientState(statePath(),
                    {"6F1C2D3E-4A5B-4C6D-8E7F-0123456789AB", "Test phone", kHostID, "stored-token",
                     certificateSha256Hex(hostIdentity().certificate.get()), "127.0.0.1", port});
  }

  Outcome run(Options options, int input = -1,
              std::chrono::milliseconds answerTimeout = std::chrono::seconds(10)) const {
    options.statePath = statePath();
    std::ostringstream out;
    std::ostringstream err;
    Outcome result;
    result.code = runClient(options, ClientStreams{out, err, input, false, answerTimeout});
    result.out = out.str();
    result.err = err.str();
    return result;
  }

  Options pairOptions(std::uint16_t port, std::string certificateHash = "") const {
    Options options;
    options.command = Command::pair;
    options.link = link(port, std::move(certificateHash));
    return options;
  }

  // A client paired with a host on `port`, running `options`.
  Outcome runPaired(std::uint16_t port, Options options) const {
    storePairing(port);
    return run(std::move(options));
  }

  ScratchDirectory scratch_;
};

}  // namespace quorvanta::client
