#include "viewer/pair_command.h"

#include <future>

#include "core/protocol/pairing_invitation.h"
#include "core/util/quorvanta_error.h"
#include "viewer/viewer_session.h"

namespace quorvanta::viewer {
namespace {

struct Outcome {
  int code = 1;
  std::string sentence;  // for `err`, or after the confirmation
};

}  // namespace

int runPairCommand(const std::string& link, HostBook& book, std::ostream& out, std::ostream& err) {
  const auto invitation = parsePairingLink(link);
  if (!invitation) {
    err << "This is not a Quorvanta pairing link." << std::endl;
    return 2;
  }
  PairedHost host;
  try {
    host = hostFromInvitation(*invitation, book.deviceID());
  } catch (const QuorvantaError& error) {
    err << error.message() << std::endl;
    return 2;
  }

  std::promise<Outcome> done;
  bool settled = false;  // session thread only
  bool paired = false;
  std::string saveProblem;
  const auto settle = [&](Outcome outcome) {
    if (settled) return;
    settled = true;
    done.set_value(std::move(outcome));
  };
  ViewerSession::Handlers handlers;
  handlers.onEvent = [&](const SessionEvent& event) {
    if (event.kind == SessionEvent::Kind::disconnected) {
      return settle({paired ? 0 : 1, paired ? "" : event.text});
    }
    if (event.kind != SessionEvent::Kind::message) return;
    const ControlMessage& message = event.message;
    if (message.type == "paired") {
      PairedHost kept = host;
      kept.state.token = message.token.value_or("");
      if (message.name) kept.name = *message.name;
      try {
        book.remember(kept);
        host = kept;
        paired = true;
      } catch (const QuorvantaError& error) {
        settle({2, error.message()});
      }
    } else if (message.type == "hello") {
      settle({0, ""});
    } else if (message.type == "busy") {
      settle({paired ? 0 : 1, message.message.value_or("")});
    } else if (message.type == "authRejected" || message.type == "error") {
      settle({1, message.message.value_or("")});
    }
  };
  ViewerSession::Options options;
  options.secret = invitation->secret;
  options.stream = false;
  options.reconnect = false;
  ViewerSession session(host.state, std::move(handlers), std::move(options));
  auto outcome = done.get_future();
  session.start();
  const Outcome result = outcome.get();
  session.stop();
  if (result.code == 0) {
    out << "Paired with " << host.name << " (" << host.state.address << ")." << std::endl;
    if (!result.sentence.empty()) out << result.sentence << std::endl;
  } else if (!result.sentence.empty()) {
    err << result.sentence << std::endl;
  }
  return result.code;
}

}  // namespace quorvanta::viewer
