// The people and the machine at the computer's end: the privacy curtain, the watch on local
// input that lifts it, idle-sleep holds, waking displays and the screen lock.

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "core/host/host_model.h"
#include "core/video/screen_streamer.h"

namespace quorvanta {
namespace {

constexpr const char* kLiftedLocally =
    "Someone at the Mac used its keyboard or mouse, so its screen is no longer dimmed.";
constexpr auto kRevealPause = std::chrono::milliseconds(120);
constexpr auto kWakePoll = std::chrono::milliseconds(100);
constexpr int kWakePolls = 40;
constexpr auto kWakeSettle = std::chrono::milliseconds(400);

asio::awaitable<void> sleepFor(std::chrono::steady_clock::duration duration) {
  asio::steady_timer timer(co_await asio::this_coro::executor, duration);
  // A cancelled sleep counts as elapsed.
  [[maybe_unused]] auto [error] =
      co_await timer.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
}

}  // namespace

bool HostModel::curtainWanted() const {
  return state_.curtainEnabled && streamReady_ && active_ && !curtainLiftedLocally_;
}

void HostModel::setCurtainEnabled(bool enabled) {
  if (state_.curtainEnabled == enabled) return;
  state_.curtainEnabled = enabled;
  storeSetting(kCurtainEnabledKey, enabled);
  applyCurtain();
  publish();
}

void HostModel::screensChanged() {
  applyCurtain();
}

void HostModel::applyCurtain() {
  const std::int64_t generation = ++curtainGeneration_;
  if (!curtain_) return;
  if (!curtainWanted()) {
    curtain_->hide();
    localInputWatch_.reset();
    return;
  }
  std::vector<std::uint32_t> windows = curtain_->prepare();
  auto previous = std::exchange(curtainTask_, std::make_shared<CompletionSignal>(main_));
  asio::co_spawn(
      main_, curtainTask(weak_from_this(), screen_, previous, curtainTask_, generation, std::move(windows)),
      asio::detached);
}

asio::awaitable<void> HostModel::curtainTask(std::weak_ptr<HostModel> weak,
                                             std::shared_ptr<ScreenStreamer> screen,
                                             std::shared_ptr<CompletionSignal> previous,
                                             std::shared_ptr<CompletionSignal> done, std::int64_t generation,
                                             std::vector<std::uint32_t> windows) {
  const SignalOnExit finish(done);
  if (previous) co_await previous->wait();
  {
    const auto self = weak.lock();
    if (!self || self->curtainGeneration_ != generation) co_return;
  }
  bool excluded = false;
  if (screen) {
    const std::set<WindowID> windowIDs(windows.begin(), windows.end());
    excluded = co_await screen->exclude(windowIDs);
  }
  co_await sleepFor(kRevealPause);

  const auto self = weak.lock();
  if (!self || self->curtainGeneration_ != generation || !self->curtain_) co_return;
  // The curtain shows only once the capture has left its windows out of the stream.
  if (excluded && self->curtainWanted()) {
    self->curtain_->reveal();
    self->watchLocalInput();
  } else {
    self->curtain_->hide();
  }
}

void HostModel::watchLocalInput() {
  if (localInputWatch_ || !presence_) return;
  localInputWatch_ = presence_->watchLocalInput([weak = weak_from_this()] {
    const auto self = weak.lock();
    if (!self || self->curtainLiftedLocally_ || !self->streamReady_) return;
    self->curtainLiftedLocally_ = true;
    self->applyCurtain();
    if (self->active_) self->notice(self->active_, kLiftedLocally);
    self->publish();
  });
}

void HostModel::keepAwake() {
  if (awake_ || !presence_) return;
  awake_ = presence_->keepAwake();
}

asio::awaitable<void> HostModel::wakeDisplays(std::weak_ptr<HostModel> weak) {
  std::shared_ptr<PresenceService> presence;
  if (const auto self = weak.lock()) presence = self->presence_;
  if (!presence || presence->displaysAwake()) co_return;
  presence->declareUserActivity();
  for (int poll = 0; poll < kWakePolls; ++poll) {
    co_await sleepFor(kWakePoll);
    if (presence->displaysAwake()) break;
  }
  co_await sleepFor(kWakeSettle);
}

bool HostModel::screenLocked() const {
  return presence_ && presence_->screenLocked();
}

bool HostModel::displaysAwake() const {
  return !presence_ || presence_->displaysAwake();
}

}  // namespace quorvanta
