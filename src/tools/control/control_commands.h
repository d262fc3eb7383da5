#pragma once

#include <span>
#include <string>

#include <nlohmann/json.hpp>

namespace quorvanta::control {

// What the command line asks for.
struct Invocation {
  enum class Kind { help, version, request, usageError };
  Kind kind = Kind::usageError;
  nlohmann::json request;  // the request to send, for Kind::request
  bool showQr = true;      // "pair" draws the link's QR code unless --no-qr is given
  std::string problem;     // for Kind::usageError: what is wrong, as a sentence
};

// The usage text printed by --help and after a usage error; it ends with "\n".
std::string usageText();

// Parses the arguments after the program name.
Invocation parseArguments(std::span<const std::string> arguments);

// What to print on standard output for a successful reply ({"ok":true, ...}) to `invocation`'s
// request; empty for commands that print nothing. Throws QuorvantaError when the reply lacks what
// the command shows.
std::string renderReply(const Invocation& invocation, const nlohmann::json& reply);

// A reference date (seconds since 2001-01-01 00:00 UTC) as "YYYY-MM-DD HH:MM", in UTC.
std::string formatReferenceDate(double seconds);

// The sentence to show for a failed reply ({"ok":false,"error":...}).
std::string replyError(const nlohmann::json& reply);

// True when the reply reports success.
bool replySucceeded(const nlohmann::json& reply);

}  // namespace quorvanta::control
