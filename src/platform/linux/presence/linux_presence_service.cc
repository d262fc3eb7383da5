#include "platform/linux/presence/linux_presence_service.h"

#include <chrono>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/linux/presence/dbus_presence.h"
#include "platform/linux/presence/local_input_watch.h"
#include "platform/linux/presence/x_power.h"

namespace quorvanta {

namespace {

using namespace std::chrono_literals;

// Bounds on the D-Bus work of each call.
constexpr auto kInhibitTimeout = 2s;
constexpr auto kActivityTimeout = 1s;
constexpr auto kLockQueryBudget = 1s;

// Several holds released together, in reverse order of taking.
class CombinedHold final : public PresenceHold {
 public:
  void add(std::unique_ptr<PresenceHold> hold) {
    if (hold) holds_.push_back(std::move(hold));
  }
  ~CombinedHold() override {
    while (!holds_.empty())
      holds_.pop_back();
  }

 private:
  std::vector<std::unique_ptr<PresenceHold>> holds_;
};

}  // namespace

LinuxPresenceService::LinuxPresenceService(std::string display, asio::any_io_executor main,
                                           presence::BusAddresses buses, std::filesystem::path dpmsRecord)
    : displayName_(std::move(display)),
      main_(std::move(main)),
      dpmsRecord_(std::move(dpmsRecord)),
      session_(std::move(buses.session)),
      system_(std::move(buses.system)) {
  presence::restoreDpmsAfterCrash(dpmsRecord_);
}

LinuxPresenceService::~LinuxPresenceService() = default;

std::unique_ptr<PresenceHold> LinuxPresenceService::keepAwake() {
  auto hold = std::make_unique<CombinedHold>();
  hold->add(presence::LogindInhibition::take(system_.get(kInhibitTimeout), kInhibitTimeout));
  GDBusConnection* session = session_.get(kInhibitTimeout);
  std::unique_ptr<PresenceHold> gnomeHold =
      presence::CookieInhibition::takeGnomeIdle(session, kInhibitTimeout);
  std::unique_ptr<PresenceHold> displayHold =
      presence::CookieInhibition::takeScreenSaver(session, kInhibitTimeout);
  // logind keeps the machine up but not the displays on: without a session service that keeps
  // them on, the X server itself must not blank them.
  if (!displayHold && !gnomeHold) displayHold = presence::XBlankingHold::take(displayName_, dpmsRecord_);
  hold->add(std::move(gnomeHold));
  hold->add(std::move(displayHold));
  return hold;
}

bool LinuxPresenceService::displaysAwake() {
  xcb_connection_t* connection = display();
  return connection == nullptr || presence::displaysOn(connection);
}

void LinuxPresenceService::declareUserActivity() {
  if (xcb_connection_t* connection = display()) presence::wakeDisplays(connection);
  presence::simulateUserActivity(session_.get(kActivityTimeout), kActivityTimeout);
}

bool LinuxPresenceService::screenLocked() {
  const auto deadline = std::chrono::steady_clock::now() + kLockQueryBudget;
  const auto untilDeadline = [deadline] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  };
  if (GDBusConnection* system = system_.get(untilDeadline())) {
    if (const std::optional<bool> locked = presence::sessionLockedHint(system, deadline)) return *locked;
  }
  if (untilDeadline().count() <= 0) return false;
  GDBusConnection* session = session_.get(untilDeadline());
  if (session == nullptr || untilDeadline().count() <= 0) return false;
  return presence::screenSaverActive(session, untilDeadline()).value_or(false);
}

std::unique_ptr<PresenceHold> LinuxPresenceService::watchLocalInput(std::function<void()> onLocalInput) {
  return presence::LocalInputWatch::start(displayName_, main_, std::move(onLocalInput));
}

xcb_connection_t* LinuxPresenceService::display() {
  if (display_ && display_->hasError()) display_.reset();
  if (!display_) {
    try {
      display_.emplace(x11::Connection::connect(displayName_));
    } catch (const std::runtime_error&) {
      return nullptr;
    }
  }
  return display_->get();
}

}  // namespace quorvanta
