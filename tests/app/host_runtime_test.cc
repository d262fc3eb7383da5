#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QSignalSpy>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/curtain_windows.h"
#include "app/host_runtime.h"
#include "core/host/host_settings.h"
#include "gui_test_support.h"

namespace quorvanta {
namespace {

namespace fs = std::filesystem;

// A HostRuntime on private directories, with the real model and the desktop's services: no
// keyring (no session bus), no tailscale program.
class HostRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("quorvanta-runtime-" + std::to_string(getpid()));
    fs::remove_all(root_);
    for (const char* sub : {"home", "run", "config", "data", "bin"})
      fs::create_directories(root_ / sub);
    chmod((root_ / "run").c_str(), 0700);
    for (const char* name : kVariables)
      if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
    setenv("HOME", (root_ / "home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root_ / "run").c_str(), 1);
    setenv("PATH", (root_ / "bin").c_str(), 1);
    paths_ = {"/usr/bin/quorvanta-host", root_ / "data" / "Quorvanta", root_ / "config" / "host.conf",
              root_ / "run" / "control.sock"};
    windows_ = std::make_unique<CurtainWindows>();
    curtain_ = std::make_shared<CurtainBridge>(windows_.get());
  }

  void TearDown() override {
    curtain_->detach();
    windows_.reset();
    fs::remove_all(root_);
    for (const char* name : kVariables)
      unsetenv(name);
    for (const auto& [name, value] : saved_)
      setenv(name.c_str(), value.c_str(), 1);
  }

  static constexpr const char* kVariables[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR",
                                               "PATH"};

  // Starts `runtime` and collects every state it delivers.
  void start(HostRuntime& runtime) {
    QObject::connect(&runtime, &HostRuntime::stateChanged,
                     [this](const HostState& state) { states_.push_back(state); });
    ASSERT_TRUE(runtime.claimInstance());
    QSignalSpy launched(&runtime, &HostRuntime::launched);
    runtime.start();
    ASSERT_TRUE(testing::waitUntil([&] { return launched.count() == 1 && !states_.empty(); }));
    // Sharing was never turned on: the panel is shown at launch.
    EXPECT_FALSE(launched.front().front().toBool());
  }

  void finish(HostRuntime& runtime) {
    QSignalSpy finished(&runtime, &HostRuntime::finished);
    runtime.quit(false);
    ASSERT_TRUE(testing::waitUntil([&] { return finished.count() == 1; }));
  }

  fs::path root_;
  std::vector<std::pair<std::string, std::string>> saved_;
  HostRuntime::Paths paths_;
  std::unique_ptr<CurtainWindows> windows_;
  std::shared_ptr<CurtainBridge> curtain_;
  std::vector<HostState> states_;
};

TEST_F(HostRuntimeTest, ActionsReachTheModelAndEveryChangeComesBackInOrder) {
  HostRuntime runtime(paths_, curtain_);
  start(runtime);
  EXPECT_FALSE(states_.back().running);
  EXPECT_EQ(states_.back().credentialStore, SecureStore::Kind::file);

  runtime.perform([](HostModel& model) { model.setControlEnabled(true); });
  runtime.perform([](HostModel& model) { model.setCurtainEnabled(true); });
  runtime.perform([](HostModel& model) { model.setControlEnabled(false); });
  ASSERT_TRUE(testing::waitUntil([&] {
    return states_.back().curtainEnabled && !states_.back().controlEnabled &&
           std::any_of(states_.begin(), states_.end(), [](const HostState& s) { return s.controlEnabled; });
  }));
  // In order: control on, then the curtain on, then control off.
  const auto controlOn =
      std::find_if(states_.begin(), states_.end(), [](auto& s) { return s.controlEnabled; });
  const auto curtainOn =
      std::find_if(states_.begin(), states_.end(), [](auto& s) { return s.curtainEnabled; });
  ASSERT_NE(curtainOn, states_.end());
  EXPECT_LE(controlOn - states_.begin(), curtainOn - states_.begin());
  EXPECT_TRUE(curtainOn->controlEnabled);

  // Without Tailscale, turning sharing on is remembered but nothing listens.
  runtime.perform([](HostModel& model) { model.start(); });
  ASSERT_TRUE(testing::waitUntil([&] { return states_.back().status != states_.front().status; }));
  EXPECT_FALSE(states_.back().running);
  EXPECT_TRUE(states_.back().address.empty());
  EXPECT_TRUE(HostSettings(paths_.settings).hostEnabled());
  // Quit turns sharing off for good before the process leaves.
  finish(runtime);
  EXPECT_FALSE(HostSettings(paths_.settings).hostEnabled());
}

TEST_F(HostRuntimeTest, ControlSocketShowsThePanelAndASecondCopyIsTurnedAway) {
  HostRuntime runtime(paths_, curtain_);
  start(runtime);
  QSignalSpy show(&runtime, &HostRuntime::showPanelRequested);

  HostRuntime second(paths_, nullptr);
  EXPECT_FALSE(second.claimInstance());
  EXPECT_TRUE(testing::waitUntil([&] { return show.count() == 1; }));

  const nlohmann::json status = sendControlRequest(paths_.controlSocket, {{"command", "status"}});
  EXPECT_TRUE(status.value("ok", false)) << status.dump();
  finish(runtime);
  EXPECT_FALSE(fs::exists(paths_.controlSocket));
}

TEST_F(HostRuntimeTest, ScreenRecordingRequestAnswersWithASentence) {
  HostRuntime runtime(paths_, curtain_);
  start(runtime);
  QSignalSpy notice(&runtime, &HostRuntime::noticeReady);
  runtime.requestScreenRecording();
  ASSERT_TRUE(testing::waitUntil([&] { return notice.count() == 1; }));
  EXPECT_FALSE(notice.front().front().toString().isEmpty());
  finish(runtime);
}

}  // namespace
}  // namespace quorvanta
