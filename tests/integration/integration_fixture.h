#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "core/host/host_test_directory.h"
#include "platform/linux/x11/xvfb_server.h"
#include "support/network_namespace.h"

namespace quorvanta::test {

inline constexpr const char* kHostAddress = "100.64.0.1";
inline constexpr std::uint16_t kPort = 48725;

struct Result {
  int status = -1;
  std::string output;
};

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);)
    result.push_back(line);
  return result;
}

// The received messages a client printed, one JSON object per line.
inline std::vector<nlohmann::json> messagesIn(const std::string& output) {
  std::vector<nlohmann::json> result;
  for (const auto& line : lines(output)) {
    auto value = nlohmann::json::parse(line, nullptr, false);
    if (value.is_object() && value.contains("type")) result.push_back(std::move(value));
  }
  return result;
}

inline std::optional<nlohmann::json> findMessage(const std::string& output, const std::string& type) {
  for (auto& message : messagesIn(output))
    if (message["type"] == type) return message;
  return std::nullopt;
}

// How many messages of `type` (with `text` as their "message", when given) a client printed.
inline std::size_t countMessages(const std::string& output, const std::string& type,
                                 const std::optional<std::string>& text = std::nullopt) {
  std::size_t count = 0;
  for (auto& message : messagesIn(output))
    count += message["type"] == type && (!text || message["message"] == *text) ? 1u : 0u;
  return count;
}

// The real programs in a private network namespace whose loopback carries 100.64.0.1, with a stub
// `tailscale` first on PATH, HOME and XDG directories in a scratch directory, and the file store.
class IntegrationFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto problem = enterPrivateNetworkNamespace({kHostAddress, "100.64.0.2", "100.64.0.3"}))
      GTEST_SKIP() << *problem;
    const auto root = directory_.path();
    for (const char* name : {"home", "config", "data", "run", "bin", "out"})
      std::filesystem::create_directories(root / name);
    std::filesystem::permissions(root / "run", std::filesystem::perms::owner_all);
    {
      std::ofstream stub(root / "bin" / "tailscale");
      stub << "#!/bin/sh\n[ \"$1 $2\" = \"ip -4\" ] && [ \"$TAILSCALE_BE_CLI\" = 1 ] && echo " << kHostAddress
           << "\n";
    }
    std::filesystem::permissions(root / "bin" / "tailscale", std::filesystem::perms::owner_all);
    const char* path = std::getenv("PATH");
    environment_ = {{"HOME", (root / "home").string()},
                    {"XDG_CONFIG_HOME", (root / "config").string()},
                    {"XDG_DATA_HOME", (root / "data").string()},
                    {"XDG_RUNTIME_DIR", (root / "run").string()},
                    {"PATH", (root / "bin").string() + ":" + (path ? path : "/usr/bin:/bin")},
                    {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
                    {"DISPLAY", std::nullopt}};
    // Sharing is on from the first launch, as after "quorvanta start" on an earlier run.
    std::filesystem::create_directories(root / "config" / "quorvanta");
    std::ofstream(root / "config" / "quorvanta" / "host.conf") << "hostEnabled=true\n";
  }

  // Starts a private X server in the namespace for the host and returns its display.
  const std::string& startDisplay() {
    xvfb_ = std::make_unique<quorvanta::testing::XvfbServer>();
    environment_["DISPLAY"] = xvfb_->display();
    return xvfb_->display();
  }

  void startHost() {
    host_ = std::make_unique<ChildProcess>(QUORVANTA_HOST_BINARY, std::vector<std::string>{}, environment_,
                                           directory_.path() / "out" / "host.txt");
    ASSERT_TRUE(waitUntil([&] { return status().value("running", false); }, 20)) << host_->output();
  }

  Result run(const std::string& binary, const std::vector<std::string>& arguments, double limit = 20) {
    const auto output = directory_.path() / "out" / ("run" + std::to_string(++runs_) + ".txt");
    ChildProcess child(binary, arguments, environment_, output);
    const auto status = child.wait(limit);
    return {status.value_or(-1), child.output()};
  }
  std::unique_ptr<ChildProcess> background(const std::string& binary,
                                           const std::vector<std::string>& arguments,
                                           const std::filesystem::path& input = "/dev/null") {
    const auto output = directory_.path() / "out" / ("bg" + std::to_string(++runs_) + ".txt");
    return std::make_unique<ChildProcess>(binary, arguments, environment_, output, input);
  }
  Result control(const std::vector<std::string>& arguments) {
    return run(QUORVANTA_CONTROL_BINARY, arguments);
  }
  Result client(const std::string& state, std::vector<std::string> arguments, double limit = 20) {
    arguments.insert(arguments.begin(), {"--state", (directory_.path() / state).string()});
    return run(QUORVANTA_CLIENT_BINARY, arguments, limit);
  }
  std::unique_ptr<ChildProcess> clientInBackground(const std::string& state,
                                                   std::vector<std::string> arguments,
                                                   const std::filesystem::path& input = "/dev/null") {
    arguments.insert(arguments.begin(), {"--state", (directory_.path() / state).string()});
    return background(QUORVANTA_CLIENT_BINARY, arguments, input);
  }

  nlohmann::json status() {
    const auto result = control({"status"});
    if (result.status != 0) return nlohmann::json::object();
    return nlohmann::json::parse(result.output, nullptr, false);
  }
  std::string pairingLink() {
    const auto result = control({"pair"});
    EXPECT_EQ(result.status, 0) << result.output;
    const auto output = lines(result.output);
    EXPECT_GT(output.size(), 10u) << "the link and its QR code";
    return output.empty() ? "" : output[0];
  }

  static bool waitUntil(const std::function<bool()>& condition, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }

  ScratchDirectory directory_;
  std::map<std::string, std::optional<std::string>> environment_;
  std::unique_ptr<quorvanta::testing::XvfbServer> xvfb_;
  std::unique_ptr<ChildProcess> host_;
  int runs_ = 0;
};

}  // namespace quorvanta::test
