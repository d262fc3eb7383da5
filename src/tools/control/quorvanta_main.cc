// quorvanta: controls the Quorvanta Host running for this user through its control socket.

#include <chrono>
#include <exception>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "core/host/control_channel.h"
#include "core/protocol/utf8.h"
#include "core/util/quorvanta_error.h"
#include "quorvanta_version.h"
#include "tools/control/control_commands.h"

namespace {

// The listener opens a moment after "start": wait briefly for the state it settles in, so that
// the line printed is "Ready for your paired devices" or the reason it is not.
nlohmann::json settledAfterStart(nlohmann::json reply) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  const auto settled = [](const nlohmann::json& state) {
    return state.value("running", false) || state.value("status", "") != "Sharing is off" ||
           !state.value("error", nlohmann::json()).is_null();
  };
  while (!settled(reply.value("status", nlohmann::json::object())) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    nlohmann::json status =
        quorvanta::sendControlRequest(quorvanta::controlSocketPath(), {{"command", "status"}});
    if (!quorvanta::control::replySucceeded(status)) break;
    reply = std::move(status);
  }
  return reply;
}

int run(const quorvanta::control::Invocation& invocation) {
  using quorvanta::control::Invocation;
  switch (invocation.kind) {
    case Invocation::Kind::help:
      std::cout << quorvanta::control::usageText();
      return 0;
    case Invocation::Kind::version:
      std::cout << "quorvanta " << quorvanta::kVersion << "\n";
      return 0;
    case Invocation::Kind::usageError:
      std::cerr << "quorvanta: " << invocation.problem << "\n\n" << quorvanta::control::usageText();
      return 2;
    case Invocation::Kind::request:
      break;
  }
  nlohmann::json reply = quorvanta::sendControlRequest(quorvanta::controlSocketPath(), invocation.request);
  if (invocation.request.value("command", "") == "start" && quorvanta::control::replySucceeded(reply))
    reply = settledAfterStart(std::move(reply));
  if (!quorvanta::control::replySucceeded(reply)) {
    std::cerr << quorvanta::escapeForTerminal(quorvanta::control::replyError(reply)) << '\n';
    return 1;
  }
  const std::string text = quorvanta::control::renderReply(invocation, reply);
  // "start" succeeded only when sharing is live; otherwise the status says why it is not.
  if (invocation.request.value("command", "") == "start" &&
      !reply.value("status", nlohmann::json::object()).value("running", false)) {
    std::cerr << text << std::flush;
    return 1;
  }
  std::cout << text << std::flush;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return run(quorvanta::control::parseArguments(arguments));
  } catch (const std::exception& error) {
    std::cerr << error.what() << '\n';
    return 1;
  }
}
