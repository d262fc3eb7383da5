#include "test_desktop.h"

#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "platform/linux/x11/xcb_handles.h"

namespace quorvanta::testing {

namespace {

constexpr auto kReadyLimit = std::chrono::seconds(15);

std::string inPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string directories = path ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= directories.size();) {
    const std::size_t end = std::min(directories.find(':', start), directories.size());
    const std::filesystem::path candidate =
        std::filesystem::path(directories.substr(start, end - start)) / program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    start = end + 1;
  }
  throw std::runtime_error(program + " is not installed; run scripts/install-deps.sh");
}

// Polls until `ready` holds on a fresh look at the display.
void waitFor(const std::string& display, const std::string& what, bool (*ready)(const x11::Connection&)) {
  const x11::Connection connection = x11::Connection::connect(display);
  const auto deadline = std::chrono::steady_clock::now() + kReadyLimit;
  while (!ready(connection)) {
    if (std::chrono::steady_clock::now() >= deadline)
      throw std::runtime_error(what + " did not come up in time");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool selectionOwned(const x11::Connection& connection, const char* name) {
  xcb_connection_t* c = connection.get();
  const xcb_atom_t atom = x11::internAtom(c, name, false);
  x11::Reply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom), nullptr));
  return owner && owner->owner != XCB_NONE;
}

}  // namespace

TestDesktop::TestDesktop()
    : logs_(std::filesystem::temp_directory_path() /
            ("quorvanta-desktop-" + std::to_string(::getpid()) + "-" + xvfb_.display().substr(1))) {
  std::filesystem::create_directories(logs_);
  windowManager_ = std::make_unique<test::ChildProcess>(
      inPath("openbox"), std::vector<std::string>{"--sm-disable"},
      std::map<std::string, std::optional<std::string>>{{"DISPLAY", display()}}, logs_ / "openbox.log");
  // A managing window manager owns WM_S0.
  waitFor(display(), "the window manager",
          [](const x11::Connection& c) { return selectionOwned(c, "WM_S0"); });
  if (run("setxkbmap", {"-layout", "us,de"}) != 0) throw std::runtime_error("setxkbmap failed");
  startCompositor();
}

TestDesktop::~TestDesktop() {
  compositor_.reset();
  windowManager_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(logs_, ignored);
}

void TestDesktop::startCompositor() {
  if (compositor_) return;
  compositor_ = std::make_unique<test::ChildProcess>(
      inPath("xcompmgr"), std::vector<std::string>{},
      std::map<std::string, std::optional<std::string>>{{"DISPLAY", display()}}, logs_ / "xcompmgr.log");
  // A compositing manager owns _NET_WM_CM_S0.
  waitFor(display(), "the compositing manager",
          [](const x11::Connection& c) { return selectionOwned(c, "_NET_WM_CM_S0"); });
}

void TestDesktop::stopCompositor() {
  compositor_.reset();
  waitFor(display(), "the compositing manager's exit",
          [](const x11::Connection& c) { return !selectionOwned(c, "_NET_WM_CM_S0"); });
}

int TestDesktop::run(const std::string& program, const std::vector<std::string>& arguments) {
  test::ChildProcess child(inPath(program), arguments,
                           std::map<std::string, std::optional<std::string>>{{"DISPLAY", display()}},
                           logs_ / (program + ".log"));
  return child.wait(15).value_or(-1);
}

}  // namespace quorvanta::testing
