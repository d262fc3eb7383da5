#include "tools/client/client_session.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/signal_set.hpp>
#include <asio/ssl.hpp>
#include <asio/steady_timer.hpp>

#include "client/client_state.h"
#include "client/pinned_tls.h"
#include "core/protocol/control_message.h"
#include "core/protocol/pairing_invitation.h"
#include "core/transport/packet_connection.h"
#include "core/transport/tls_context.h"
#include "core/trust/host_identity.h"
#include "core/util/quorvanta_error.h"
#include "tools/client/client_script.h"
#include "tools/client/client_video.h"
#include "tools/client/raw_input.h"

namespace quorvanta::client {
namespace {

namespace fs = std::filesystem;

constexpr const char* kNoAnswer = "The host did not answer.";

bool isRefusal(const std::string& type) {
  return type == "authRejected" || type == "error" || type == "busy" || type == "takenOver";
}

// What a command adds to a session besides printing the messages: a script run once the host
// has admitted it, and observers of the video and the control messages.
struct SessionExtras {
  Script script;
  std::function<void(Bytes)> onVideo;
  std::function<void(const ControlMessage&)> onMessage;
  std::function<void()> onEnd;  // the session has ended
};

// The features announced: those asked for, and "frameAck" for the commands that start a stream,
// since they acknowledge the video they receive (unless `frameAck` is false: unacknowledged video).
std::optional<std::vector<std::string>> announcedFeatures(const Options& options, bool frameAck) {
  if (options.command == Command::pair || options.command == Command::connect || !frameAck)
    return options.features;
  std::vector<std::string> features = options.features.value_or(std::vector<std::string>{});
  if (std::find(features.begin(), features.end(), kFeatureFrameAck) == features.end()) {
    features.insert(features.begin(), kFeatureFrameAck);
  }
  return features;
}

// One run of the client: connects, admits itself with "pair" or "authenticate" and prints what
// the host sends until the connection ends, running the command's script once admitted.
// Everything runs on the one thread that runs `io`.
class Session {
 public:
  Session(asio::io_context& io, const Options& options, const ClientStreams& streams, fs::path statePath,
          ClientState state, std::optional<std::string> secret, SessionExtras extras)
      : io_(io),
        options_(options),
        streams_(streams),
        statePath_(std::move(statePath)),
        state_(std::move(state)),
        secret_(std::move(secret)),
        features_(announcedFeatures(options, streams.announceFrameAck)),
        extras_(std::move(extras)),
        script_(io, std::move(extras_.script),
                {[this](const ControlMessage& message) { connection_->send(message); },
                 [this](int code) { leave(code); }},
                streams.err),
        socket_(io),
        answerTimer_(io),
        pingTimer_(io),
        exitTimer_(io),
        signals_(io),
        input_(io, streams.err, [this](const ControlMessage& message) { connection_->send(message); }) {}

  void start() {
    answerTimer_.expires_after(streams_.answerTimeout);
    answerTimer_.async_wait([this](const std::error_code& error) {
      if (!error) onAnswerTimeout();
    });
    if (streams_.handleSignals && options_.command != Command::pair) {
      std::error_code ignored;
      signals_.add(SIGINT, ignored);
      signals_.add(SIGTERM, ignored);
      signals_.async_wait([this](const std::error_code& error, int) {
        // Interrupting a command before it did its work is a failure; a stream that started, or a
        // plain session, ends normally.
        if (!error) leave(script_.accomplished() ? kExitOk : kExitFailure);
      });
    }
    connectSocket();
  }

  int exitCode() const { return outcome_.value_or(kExitFailure); }

 private:
  std::string hostLabel() const { return state_.address + ":" + std::to_string(state_.port); }

  void connectSocket() {
    std::error_code error;
    const auto address = asio::ip::make_address(state_.address, error);
    if (error)
      return fail(kExitFailure, "Could not reach the host at " + hostLabel() + ": " + error.message() + ".");
    const asio::ip::tcp::endpoint endpoint(address, state_.port);
    if (options_.bindAddress) {
      // async_connect keeps a socket that is already open, and with it this local address.
      socket_.open(endpoint.protocol(), error);
      if (!error) socket_.bind({*options_.bindAddress, 0}, error);
      if (error) {
        return fail(kExitFailure,
                    "Could not bind to " + options_.bindAddress->to_string() + ": " + error.message() + ".");
      }
    }
    socket_.async_connect(endpoint, [this](const std::error_code& connectError) {
      if (finished_) return;
      if (connectError) {
        return fail(kExitFailure,
                    "Could not reach the host at " + hostLabel() + ": " + connectError.message() + ".");
      }
      startTls();
    });
  }

  void startTls() {
    tls_ = makeClientTlsContext(state_.certificateHash);
    connection_ = PacketConnection::create(
        pinnedTlsStream(std::move(socket_), *tls_, state_.certificateHash, pinMismatch_),
        PacketConnection::Role::client);
    connection_->setAcknowledgesVideo(announces(kFeatureFrameAck));
    connection_->setOnVideo([this](Bytes payload) {
      if (extras_.onVideo && !finished_) extras_.onVideo(std::move(payload));
    });
    connection_->setOnReady([this] { onReady(); });
    connection_->setOnControl([this](ControlMessage message) { onMessage(std::move(message)); });
    connection_->setOnClose([this](std::optional<std::string> reason) { onClosed(std::move(reason)); });
    connection_->start();
  }

  bool announces(std::string_view feature) const {
    if (!features_) return false;
    for (const auto& word : *features_) {
      if (word == feature) return true;
    }
    return false;
  }

  void onReady() {
    ready_ = true;
    auto message = ControlMessage::make(secret_ ? "pair" : "authenticate");
    message.hostID = state_.hostID;
    message.deviceID = state_.deviceID;
    if (secret_) {
      message.deviceName = state_.deviceName;
      message.secret = *secret_;
    } else {
      message.token = state_.token;
    }
    message.features = features_;
    if (options_.takeover) message.takeover = true;
    connection_->send(message);
  }

  void onMessage(ControlMessage message) {
    if (message.type == "paired" && secret_) savePairing(message);
    if (auto json = encodeControlMessage(message)) streams_.out << *json << '\n' << std::flush;
    if (isRefusal(message.type) && message.message) streams_.err << *message.message << std::endl;
    if (extras_.onMessage) extras_.onMessage(message);
    if (streams_.onMessage) streams_.onMessage(message);

    if (secret_) {
      if (message.type == "hello") return settle(kExitOk);
      if (message.type == "busy") return settle(paired_ ? kExitPairedBusy : kExitFailure);
      if (message.type == "authRejected" || message.type == "error") return settle(kExitFailure);
      return;
    }
    if (message.type == "hello" && !admitted_) {
      admitted_ = true;
      answerTimer_.cancel();
      schedulePing();
      if (options_.raw) input_.start(streams_.input);
      script_.start();
      if (options_.exitAfter) {
        exitTimer_.expires_after(*options_.exitAfter);
        exitTimer_.async_wait([this](const std::error_code& error) {
          if (!error) leave(std::nullopt);
        });
      }
    } else {
      if (isRefusal(message.type)) refused_ = true;
      script_.received(message);
    }
  }

  void savePairing(const ControlMessage& message) {
    if (!message.token) {
      streams_.err << "The host's answer to the pairing carries no token." << std::endl;
      return settle(kExitFailure);
    }
    state_.token = *message.token;
    try {
      saveClientState(statePath_, state_);
      paired_ = true;
    } catch (const QuorvantaError& error) {
      streams_.err << error.message() << std::endl;
      settle(kExitUsage);
    }
  }

  // Pairing reached its end: says goodbye after "hello", otherwise just closes.
  void settle(int code) {
    if (outcome_) return;
    outcome_ = code;
    if (code == kExitOk) {
      connection_->finish(ControlMessage::make("disconnect"));
    } else {
      connection_->cancel();
    }
  }

  // Ends the run on the client's own initiative: --exit-after, or a signal with `code`.
  void leave(std::optional<int> code) {
    if (finished_) return;
    if (code && !outcome_) outcome_ = code;
    leaving_ = true;
    if (connection_ && ready_) return connection_->finish(ControlMessage::make("disconnect"));
    if (connection_) return connection_->cancel();
    if (!outcome_) {
      streams_.err << kNoAnswer << std::endl;
      outcome_ = kExitFailure;
    }
    stop();
  }

  void onAnswerTimeout() {
    if (finished_ || outcome_) return;
    if (!refused_) streams_.err << kNoAnswer << std::endl;
    outcome_ = kExitFailure;
    if (connection_) return connection_->cancel();
    stop();
  }

  void onClosed(std::optional<std::string> reason) {
    const std::string because = reason ? " " + *reason : "";
    if (!ready_) {
      if (!outcome_) {
        if (*pinMismatch_) {
          streams_.err << kCertificateMismatch << std::endl;
        } else if (reason) {
          streams_.err << "The secure connection with the host at " << hostLabel() << " failed: " << *reason
                       << std::endl;
        } else {
          streams_.err << "The host closed the connection." << std::endl;
        }
      }
      outcome_ = outcome_.value_or(kExitFailure);
    } else if (!outcome_) {
      if (admitted_ && !script_.accomplished()) {
        // The command's work was cut short.
        if (!refused_) streams_.err << "The host closed the connection." << because << std::endl;
        outcome_ = kExitFailure;
      } else if (admitted_) {
        if (reason) streams_.err << "The host closed the connection." << because << std::endl;
        outcome_ = kExitOk;
      } else {
        if (!refused_) {
          streams_.err << (leaving_ ? kNoAnswer : "The host closed the connection.") << because << std::endl;
        }
        outcome_ = kExitFailure;
      }
    }
    stop();
  }

  void fail(int code, const std::string& sentence) {
    if (!outcome_) {
      streams_.err << sentence << std::endl;
      outcome_ = code;
    }
    stop();
  }

  // Releases everything that would keep the event loop running; the connection winds down on
  // its own.
  void stop() {
    if (finished_) return;
    finished_ = true;
    script_.stop();
    if (extras_.onEnd) extras_.onEnd();
    std::error_code ignored;
    answerTimer_.cancel();
    pingTimer_.cancel();
    exitTimer_.cancel();
    signals_.cancel(ignored);
    signals_.clear(ignored);
    if (socket_.is_open()) socket_.close(ignored);
    input_.stop();
  }

  void schedulePing() {
    pingTimer_.expires_after(streams_.pingInterval);
    pingTimer_.async_wait([this](const std::error_code& error) {
      if (error || finished_) return;
      connection_->send(ControlMessage::make("ping"));
      schedulePing();
    });
  }

  asio::io_context& io_;
  const Options& options_;
  const ClientStreams& streams_;
  fs::path statePath_;
  ClientState state_;
  std::optional<std::string> secret_;  // pairing: the invitation's secret
  std::optional<std::vector<std::string>> features_;
  SessionExtras extras_;
  ScriptRunner script_;

  asio::ip::tcp::socket socket_;  // until it is connected and handed to the connection
  std::shared_ptr<asio::ssl::context> tls_;
  std::shared_ptr<bool> pinMismatch_ = std::make_shared<bool>(false);
  std::shared_ptr<PacketConnection> connection_;
  asio::steady_timer answerTimer_;
  asio::steady_timer pingTimer_;
  asio::steady_timer exitTimer_;
  asio::signal_set signals_;
  RawInput input_;

  bool ready_ = false;     // the TLS handshake completed
  bool paired_ = false;    // "paired" arrived and was saved
  bool admitted_ = false;  // "hello" arrived
  bool refused_ = false;   // a refusal's sentence has been shown
  bool leaving_ = false;   // the client itself is ending the session
  bool finished_ = false;
  std::optional<int> outcome_;
};

// The state a pairing starts from: this device's kept identity and the link's host.
ClientState stateForPairing(const Options& options, const PairingInvitation& invitation,
                            const std::optional<ClientState>& previous) {
  ClientState state;
  state.deviceID = previous ? previous->deviceID : makeUuidText();
  state.deviceName = options.deviceName ? *options.deviceName : "quorvanta-client on " + localHostName();
  state.hostID = invitation.hostID;
  state.certificateHash = invitation.certificateHash;
  state.address = invitation.address;
  state.port = invitation.port;
  return state;
}

}  // namespace

int runClient(const Options& options, const ClientStreams& streams) {
  fs::path statePath;
  std::optional<ClientState> state;
  std::optional<std::string> secret;
  try {
    statePath = options.statePath ? *options.statePath : defaultStatePath();
    if (options.command == Command::pair) {
      const auto invitation = parsePairingLink(options.link);
      if (!invitation) {
        streams.err << "This is not a Quorvanta pairing link." << std::endl;
        return kExitUsage;
      }
      state = stateForPairing(options, *invitation, loadClientState(statePath));
      secret = invitation->secret;
    } else {
      state = loadClientState(statePath);
      if (!state) {
        streams.err << "This client is not paired. Run quorvanta-client pair LINK first." << std::endl;
        return kExitUsage;
      }
    }
  } catch (const QuorvantaError& error) {
    streams.err << error.message() << std::endl;
    return kExitUsage;
  }

  SessionExtras extras{scriptFor(options), {}, {}, {}};
  std::optional<VideoReceiver> video;
  if (options.command == Command::stream) {
    try {
      video.emplace();
      if (streams.onFrame) video->setFrameObserver(streams.onFrame);
    } catch (const QuorvantaError& error) {
      streams.err << error.message() << std::endl;
      return kExitFailure;
    }
    extras.onVideo = [&video, &streams](Bytes payload) {
      if (streams.onVideoPacket) streams.onVideoPacket(payload.size());
      video->receive(payload);
    };
    extras.onMessage = [&video](const ControlMessage& message) { video->configure(message); };
    extras.onEnd = [&video] { video->end(); };
  }

  asio::io_context io;
  Session session(io, options, streams, statePath, std::move(*state), std::move(secret), std::move(extras));
  session.start();
  io.run();
  if (video) return finishStream(*video, options, streams.err, session.exitCode());
  return session.exitCode();
}

}  // namespace quorvanta::client
