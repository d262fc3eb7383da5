#include "tools/control/control_commands.h"

#include <cmath>
#include <cstdint>
#include <ctime>
#include <optional>
#include <utility>

#include "core/protocol/utf8.h"
#include "core/util/quorvanta_error.h"
#include "tools/control/qr_text.h"

namespace quorvanta::control {
namespace {

using nlohmann::json;

constexpr const char* kUnreadableReply = "Quorvanta Host sent a reply that could not be read.";
// 2001-01-01 00:00 UTC in Unix time.
constexpr std::int64_t kReferenceEpoch = 978'307'200;

Invocation usageError(std::string problem) {
  Invocation invocation;
  invocation.kind = Invocation::Kind::usageError;
  invocation.problem = std::move(problem);
  return invocation;
}

Invocation requestOf(json request) {
  Invocation invocation;
  invocation.kind = Invocation::Kind::request;
  invocation.request = std::move(request);
  return invocation;
}

// "on" or "off" as a Boolean; anything else is a usage error.
std::optional<bool> switchValue(const std::string& word) {
  if (word == "on") return true;
  if (word == "off") return false;
  return std::nullopt;
}

const json& member(const json& object, const char* name) {
  if (!object.is_object() || !object.contains(name)) throw QuorvantaError(kUnreadableReply);
  return object.at(name);
}

const std::string& stringMember(const json& object, const char* name) {
  const json& value = member(object, name);
  if (!value.is_string()) throw QuorvantaError(kUnreadableReply);
  return value.get_ref<const std::string&>();
}

std::string renderStatusLine(const json& reply) {
  const json& status = member(reply, "status");
  std::string text = stringMember(status, "status") + "\n";
  if (status.contains("error") && status.at("error").is_string() &&
      !status.at("error").get_ref<const std::string&>().empty()) {
    text += status.at("error").get_ref<const std::string&>() + "\n";
  }
  return escapeForTerminal(text);
}

std::string renderDevices(const json& reply) {
  const json& devices = member(reply, "devices");
  if (!devices.is_array()) throw QuorvantaError(kUnreadableReply);
  if (devices.empty()) return "No trusted devices.\n";
  std::string text;
  for (const json& device : devices) {
    const json& pairedAt = member(device, "pairedAt");
    if (!pairedAt.is_number()) throw QuorvantaError(kUnreadableReply);
    // Names come from devices: nothing in them may steer the terminal.
    text += escapeForTerminal(stringMember(device, "id")) + "\t" +
            escapeForTerminal(stringMember(device, "name")) + "\tpaired " +
            formatReferenceDate(pairedAt.get<double>()) + " UTC\n";
  }
  return text;
}

std::string renderPairing(const Invocation& invocation, const json& reply) {
  const std::string link = escapeForTerminal(stringMember(reply, "link"));
  std::string text = link + "\n";
  if (invocation.showQr) {
    // Appended in two steps: "\n" + string inserts at the front, which GCC 12 at -O3 misreads as
    // an overlapping copy (a false -Wrestrict).
    text += '\n';
    text += renderQrText(qrModules(link));
  }
  return text;
}

}  // namespace

std::string usageText() {
  return "Usage: quorvanta <command> [arguments]\n"
         "       quorvanta --version\n"
         "\n"
         "Controls the Quorvanta Host running for this user.\n"
         "\n"
         "Commands:\n"
         "  status               Show the host's state as JSON.\n"
         "  start                Start sharing this desktop.\n"
         "  stop                 Stop sharing this desktop.\n"
         "  pair [--no-qr]       Make a pairing invitation and print its link and QR code.\n"
         "  unpair               Withdraw the pairing invitation.\n"
         "  devices              List the trusted devices.\n"
         "  revoke ID            Remove the trusted device ID.\n"
         "  set control on|off   Allow or forbid control of this desktop.\n"
         "  set curtain on|off   Turn the privacy curtain on or off.\n"
         "  login on|off         Start Quorvanta Host at login, or not.\n"
         "  show                 Open the host's panel.\n"
         "\n"
         "The QR code is drawn with dark blocks on the terminal's background: it scans best on a\n"
         "light terminal. Use --no-qr to print the link alone.\n";
}

Invocation parseArguments(std::span<const std::string> arguments) {
  for (const std::string& argument : arguments) {
    if (argument == "--help" || argument == "-h") return Invocation{Invocation::Kind::help, {}, true, {}};
  }
  for (const std::string& argument : arguments) {
    if (argument == "--version") return Invocation{Invocation::Kind::version, {}, true, {}};
  }
  if (arguments.empty()) return usageError("No command was given.");
  const std::string& command = arguments.front();
  const auto rest = arguments.subspan(1);

  if (command == "help" && rest.empty()) return Invocation{Invocation::Kind::help, {}, true, {}};
  if (command == "status" || command == "start" || command == "stop" || command == "unpair" ||
      command == "devices" || command == "show") {
    if (!rest.empty()) return usageError("\"" + command + "\" takes no arguments.");
    return requestOf({{"command", command}});
  }
  if (command == "pair") {
    if (rest.empty()) return requestOf({{"command", "pair"}});
    if (rest.size() == 1 && rest[0] == "--no-qr") {
      Invocation invocation = requestOf({{"command", "pair"}});
      invocation.showQr = false;
      return invocation;
    }
    return usageError("\"pair\" takes only --no-qr.");
  }
  if (command == "revoke") {
    if (rest.size() != 1 || rest[0].empty() || rest[0].front() == '-') {
      return usageError("\"revoke\" takes the ID of one device.");
    }
    return requestOf({{"command", "revoke"}, {"id", rest[0]}});
  }
  if (command == "set") {
    if (rest.size() != 2 || (rest[0] != "control" && rest[0] != "curtain")) {
      return usageError("\"set\" takes \"control\" or \"curtain\" and then \"on\" or \"off\".");
    }
    const auto value = switchValue(rest[1]);
    if (!value) return usageError("\"set\" takes \"control\" or \"curtain\" and then \"on\" or \"off\".");
    return requestOf({{"command", "set"}, {"name", rest[0]}, {"value", *value}});
  }
  if (command == "login") {
    const auto value = rest.size() == 1 ? switchValue(rest[0]) : std::nullopt;
    if (!value) return usageError("\"login\" takes \"on\" or \"off\".");
    return requestOf({{"command", "login"}, {"value", *value}});
  }
  return usageError("There is no command \"" + command + "\".");
}

bool replySucceeded(const json& reply) {
  return reply.is_object() && reply.contains("ok") && reply.at("ok") == true;
}

std::string replyError(const json& reply) {
  if (reply.is_object() && reply.contains("error") && reply.at("error").is_string() &&
      !reply.at("error").get_ref<const std::string&>().empty()) {
    return reply.at("error").get<std::string>();
  }
  return kUnreadableReply;
}

std::string renderReply(const Invocation& invocation, const json& reply) {
  const std::string command = invocation.request.value("command", "");
  if (command == "status")
    return escapeForTerminal(member(reply, "status").dump(2, ' ', false, json::error_handler_t::replace)) +
           "\n";
  if (command == "start" || command == "stop") return renderStatusLine(reply);
  if (command == "pair") return renderPairing(invocation, reply);
  if (command == "devices") return renderDevices(reply);
  return "";
}

std::string formatReferenceDate(double seconds) {
  if (!std::isfinite(seconds) || std::fabs(seconds) > 1e13) throw QuorvantaError(kUnreadableReply);
  const auto unixTime =
      static_cast<std::time_t>(kReferenceEpoch + static_cast<std::int64_t>(std::floor(seconds)));
  std::tm parts{};
  if (::gmtime_r(&unixTime, &parts) == nullptr) throw QuorvantaError(kUnreadableReply);
  char text[32];
  const std::size_t length = std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M", &parts);
  return std::string(text, length);
}

}  // namespace quorvanta::control
