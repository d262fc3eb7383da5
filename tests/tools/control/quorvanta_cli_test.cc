#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "core/host/control_channel.h"
#include "core/host/host_test_directory.h"
#include "core/util/process.h"

namespace quorvanta {
namespace {

using nlohmann::json;

// A host stand-in on the control socket of a private runtime directory: it records each request
// and answers with `reply`.
class QuorvantaCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto path = dir_.path() / "quorvanta" / "control.sock";
    server_ = std::make_unique<ControlServer>(io_.get_executor(), path, [this](const json& request) {
      const std::lock_guard lock(mutex_);
      requests_.push_back(request);
      return reply_;
    });
    ASSERT_EQ(server_->open(), ControlServer::OpenResult::listening);
    thread_ = std::thread([this] { io_.run(); });
  }

  void TearDown() override {
    std::promise<void> closed;
    asio::post(io_, [&] {
      server_.reset();
      closed.set_value();
    });
    closed.get_future().wait();
    work_.reset();
    thread_.join();
  }

  ProcessResult run(std::vector<std::string> arguments, json reply = {{"ok", true}}) {
    {
      const std::lock_guard lock(mutex_);
      reply_ = std::move(reply);
    }
    ProcessOptions options;
    options.environment = {{"XDG_RUNTIME_DIR", runtimeDirectory_.string()}};
    return runProcess(QUORVANTA_CLI_PATH, arguments, options);
  }

  std::size_t requestCount() {
    const std::lock_guard lock(mutex_);
    return requests_.size();
  }

  json lastRequest() {
    const std::lock_guard lock(mutex_);
    return requests_.empty() ? json() : requests_.back();
  }

  ScratchDirectory dir_;
  std::filesystem::path runtimeDirectory_ = dir_.path();
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
  std::thread thread_;
  std::unique_ptr<ControlServer> server_;
  std::mutex mutex_;
  json reply_;
  std::vector<json> requests_;
};

TEST_F(QuorvantaCliTest, PrintsTheReplyAndExitsWithZero) {
  const json status = {{"running", false}, {"status", "Sharing is off"}, {"error", nullptr}};
  const ProcessResult result = run({"status"}, {{"ok", true}, {"status", status}});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.output, status.dump(2) + "\n");
  EXPECT_EQ(lastRequest(), json({{"command", "status"}}));
}

TEST_F(QuorvantaCliTest, RefusalsUsageErrorsAndAMissingHostExitNonZero) {
  ProcessResult result = run({"revoke", "Z9"}, {{"ok", false}, {"error", "There is no such device."}});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.output, "There is no such device.\n");

  const std::size_t requestsBefore = requestCount();
  result = run({"set", "volume", "on"});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_NE(result.output.find("Usage: quorvanta"), std::string::npos);
  result = run({"--help"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.output.rfind("Usage: quorvanta", 0), 0U);
  EXPECT_EQ(requestCount(), requestsBefore);

  runtimeDirectory_ = dir_.path() / "elsewhere";
  result = run({"start"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.output, "Quorvanta Host is not running.\n");
}

TEST_F(QuorvantaCliTest, StartThatDoesNotGetSharingLiveExitsNonZero) {
  const json waiting = {{"running", false},
                        {"status", "Waiting for Tailscale"},
                        {"error", "Connect Tailscale on this Mac. Sharing will start automatically."}};
  const ProcessResult result = run({"start"}, {{"ok", true}, {"status", waiting}});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.output,
            "Waiting for Tailscale\nConnect Tailscale on this Mac. Sharing will start automatically.\n");
}

TEST_F(QuorvantaCliTest, ASocketDirectoryOthersCanWriteToIsNotUsed) {
  // Someone else could have made this directory and the server in it.
  const auto directory = dir_.path() / "quorvanta";
  std::filesystem::permissions(directory, std::filesystem::perms::all);
  const std::size_t before = requestCount();
  const ProcessResult result = run({"pair"}, {{"ok", true}, {"link", "quorvanta://pair?data=forged"}});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.output, "The directory " + directory.string() +
                               " of the control socket is not private to this user, so Quorvanta will not "
                               "use it.\n");
  EXPECT_EQ(requestCount(), before);
}

}  // namespace
}  // namespace quorvanta
