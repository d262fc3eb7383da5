// The application as a process: one copy per user, shown at launch, leaving cleanly.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/host/control_channel.h"
#include "gui_test_support.h"

extern char** environ;

namespace quorvanta {
namespace {

namespace fs = std::filesystem;

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};

// Whether a viewable top-level window titled `title` exists on the display.
bool windowShown(const std::string& title) {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  bool found = false;
  if (xcb_connection_has_error(c) == 0) {
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    std::unique_ptr<xcb_query_tree_reply_t, FreeDeleter> tree(
        xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
    const int count = tree ? xcb_query_tree_children_length(tree.get()) : 0;
    const xcb_window_t* children = tree ? xcb_query_tree_children(tree.get()) : nullptr;
    for (int i = 0; i < count && !found; ++i) {
      std::unique_ptr<xcb_get_window_attributes_reply_t, FreeDeleter> attributes(
          xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr));
      if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) continue;
      std::unique_ptr<xcb_get_property_reply_t, FreeDeleter> name(xcb_get_property_reply(
          c, xcb_get_property(c, 0, children[i], XCB_ATOM_WM_NAME, XCB_ATOM_ANY, 0, 256), nullptr));
      if (!name) continue;
      const auto* text = static_cast<const char*>(xcb_get_property_value(name.get()));
      found = std::string(text, static_cast<std::size_t>(xcb_get_property_value_length(name.get()))) == title;
    }
  }
  xcb_disconnect(c);
  return found;
}

class HostProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("quorvanta-app-" + std::to_string(getpid()));
    fs::remove_all(root_);
    for (const char* sub : {"home", "run", "config", "data", "bin"})
      fs::create_directories(root_ / sub);
    chmod((root_ / "run").c_str(), 0700);
    environment_ = {"HOME=" + (root_ / "home").string(), "XDG_RUNTIME_DIR=" + (root_ / "run").string(),
                    "XDG_CONFIG_HOME=" + (root_ / "config").string(),
                    "XDG_DATA_HOME=" + (root_ / "data").string(),
                    // No tailscale program: the host waits for Tailscale.
                    "PATH=" + (root_ / "bin").string() + ":/usr/bin:/bin",
                    "DISPLAY=" + std::string(std::getenv("DISPLAY")), "QT_QPA_PLATFORM=xcb"};
    // Sanitizer builds: the children follow the same rules as this process.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
      if (const char* value = std::getenv(name)) environment_.push_back(std::string(name) + "=" + value);
    socket_ = root_ / "run" / "quorvanta" / "control.sock";
  }

  void TearDown() override {
    for (const pid_t pid : pids_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    fs::remove_all(root_);
  }

  // Starts the application with `environment_`; its standard output goes to `output`.
  pid_t launch(const fs::path& output = "/dev/null") {
    std::vector<std::string> arguments{QUORVANTA_HOST_BINARY};
    std::vector<char*> argv;
    for (std::string& argument : arguments)
      argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : environment_)
      envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    pids_.push_back(pid);
    return pid;
  }

  // The exit status of `pid` within `limit`, or -1.
  int waitForExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        std::erase(pids_, pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

  bool answers() {
    try {
      return sendControlRequest(socket_, {{"command", "status"}}, std::chrono::seconds(2)).value("ok", false);
    } catch (const std::exception&) {
      return false;
    }
  }

  static std::string contents(const fs::path& file) {
    std::ifstream stream(file);
    std::stringstream text;
    text << stream.rdbuf();
    return text.str();
  }

  fs::path root_;
  fs::path socket_;
  std::vector<std::string> environment_;
  std::vector<pid_t> pids_;
};

TEST_F(HostProcessTest, OneCopyShowsItsPanelAndASecondLaunchLeaves) {
  const pid_t first = launch();
  ASSERT_TRUE(testing::waitUntil([&] { return answers(); }, std::chrono::seconds(20)));
  // Sharing was never turned on, so the panel window opens at launch.
  EXPECT_TRUE(testing::waitUntil([] { return windowShown("Quorvanta Host"); }, std::chrono::seconds(10)));

  const pid_t second = launch();
  EXPECT_EQ(waitForExit(second, std::chrono::seconds(20)), 0);
  EXPECT_EQ(waitForExit(first, std::chrono::milliseconds(200)), -1) << "the first copy keeps running";
  EXPECT_TRUE(answers());

  // A termination signal ends the host on its own thread and the application with it.
  kill(first, SIGTERM);
  EXPECT_EQ(waitForExit(first, std::chrono::seconds(20)), 0);
  EXPECT_FALSE(fs::exists(socket_));
}

TEST_F(HostProcessTest, WithoutADisplayItRunsWithoutAPanelAndPrintsItsStatus) {
  std::erase_if(environment_, [](const std::string& entry) { return entry.starts_with("DISPLAY="); });
  const fs::path output = root_ / "host.txt";
  const pid_t first = launch(output);
  ASSERT_TRUE(testing::waitUntil([&] { return answers(); }, std::chrono::seconds(20)));
  EXPECT_TRUE(testing::waitUntil(
      [&] { return contents(output).find("quorvanta-host: Sharing is off") != std::string::npos; },
      std::chrono::seconds(10)))
      << contents(output);

  const pid_t second = launch();
  EXPECT_EQ(waitForExit(second, std::chrono::seconds(20)), 0);
  EXPECT_TRUE(testing::waitUntil([&] { return contents(output).find("no panel") != std::string::npos; },
                                 std::chrono::seconds(10)))
      << contents(output);

  kill(first, SIGINT);
  EXPECT_EQ(waitForExit(first, std::chrono::seconds(20)), 0);
}

}  // namespace
}  // namespace quorvanta
