#include "core/host/host_model.h"

#include <chrono>
#include <utility>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>

#include "core/util/quorvanta_error.h"
#include "core/video/screen_streamer.h"

namespace quorvanta {
namespace {

constexpr const char* kSharingOff = "Sharing is off";
constexpr const char* kWaitingForTailscale = "Waiting for Tailscale";
constexpr const char* kReady = "Ready for your paired devices";
constexpr const char* kReconnecting = "Reconnecting to Tailscale";
constexpr const char* kConnectTailscale =
    "Connect Tailscale on this computer. Sharing will start automatically.";
constexpr const char* kIdentityUnusable = "TLS identity could not be activated.";
constexpr const char* kDroppedHeld = "Connection dropped \u00b7 display held 30 s for a quick return";

std::chrono::steady_clock::duration toDuration(double seconds) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

}  // namespace

std::shared_ptr<HostModel> HostModel::create(asio::any_io_executor main, asio::any_io_executor transport,
                                             std::shared_ptr<HostEnvironment> environment,
                                             HostSettings settings, HostTimings timings, std::uint16_t port) {
  std::shared_ptr<HostModel> model(new HostModel(std::move(main), std::move(transport),
                                                 std::move(environment), std::move(settings),
                                                 std::move(timings), port));
  model->initialize();
  return model;
}

HostModel::HostModel(asio::any_io_executor main, asio::any_io_executor transport,
                     std::shared_ptr<HostEnvironment> environment, HostSettings settings, HostTimings timings,
                     std::uint16_t port)
    : main_(std::move(main)),
      transport_(std::move(transport)),
      environment_(std::move(environment)),
      settings_(std::move(settings)),
      timings_(std::move(timings)),
      port_(port),
      tickTimer_(main_) {
  state_.controlEnabled = settings_.controlEnabled();
  state_.curtainEnabled = settings_.curtainEnabled();
  state_.loginEnabled = environment_->loginItemEnabled();
  state_.screenPermission = environment_->screenCaptureAllowed();
  state_.accessibilityPermission = environment_->inputInjectionAllowed();
  screen_ = environment_->screenStreamer();
  if (auto sink = environment_->inputSink()) {
    HostEnvironment* const services = environment_.get();
    input_ = std::make_unique<InputController>(
        [services] { return services->inputInjectionAllowed(); },
        [services](DisplayID display) { return services->displayBounds(display); }, std::move(sink),
        timings_.monotonic);
  }
  clipboard_ = environment_->clipboard();
  presence_ = environment_->presence();
  curtain_ = environment_->curtain();
  lastMessage_ = timings_.monotonic();
}

HostModel::~HostModel() {
  tickTimer_.cancel();
  // Nothing may call back into a model that is going away.
  listener_.reset();
  for (auto& [id, connection] : pending_)
    connection->cancel();
  if (active_) active_->cancel();
  localInputWatch_.reset();
  if (curtain_) curtain_->hide();
  lookups_.join();
  background_.join();
}

void HostModel::initialize() {
  loadCredentials(false);

  if (screen_) {
    const std::weak_ptr<HostModel> weak = weak_from_this();
    const std::weak_ptr<ScreenStreamer> weakScreen = screen_;
    screen_->setErrorCallback(
        [weak, weakScreen, main = main_](const std::string& message, std::int64_t generation) {
          asio::post(main, [weak, weakScreen, message, generation] {
            const auto self = weak.lock();
            const auto screen = weakScreen.lock();
            if (!self || !screen) return;
            if (screen->generation() != generation || !screen->currentStream()) return;
            self->captureFailed(message);
            self->publish();
          });
        });
  }

  scheduleTick();
  const std::weak_ptr<HostModel> weak = weak_from_this();
  refreshAddress([weak] {
    if (const auto self = weak.lock(); self && self->settings_.hostEnabled()) self->start();
  });
  publish();
}

void HostModel::setObserver(Observer observer) {
  observer_ = std::move(observer);
  published_.reset();
  publish();
}

void HostModel::publish() {
  if (published_ && *published_ == state_) return;
  published_ = state_;
  if (observer_) observer_(state_);
}

void HostModel::after(double seconds, std::function<void(HostModel&)> action) {
  auto timer = std::make_shared<asio::steady_timer>(main_, toDuration(seconds));
  timer->async_wait([timer, weak = weak_from_this(), action = std::move(action)](const std::error_code&) {
    // A cancelled wait counts as elapsed: the action re-checks the model's state itself.
    if (const auto self = weak.lock()) {
      action(*self);
      self->publish();
    }
  });
}

void HostModel::scheduleTick() {
  if (timings_.tickInterval <= 0) return;
  tickTimer_.expires_after(toDuration(timings_.tickInterval));
  tickTimer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
    if (error) return;
    if (const auto self = weak.lock()) {
      self->tick();
      self->scheduleTick();
    }
  });
}

void HostModel::storeSetting(std::string_view key, bool value) {
  // Every start attempt stores the intent; the file is written only when a value changes.
  if (settings_.boolValue(key) == value) return;
  try {
    settings_.setBool(key, value);
  } catch (const std::exception& failure) {
    // The value is kept in memory either way; the user sees why it will not survive a restart.
    state_.error = failure.what();
  }
}

void HostModel::storeHostEnabled(bool enabled) {
  storeSetting(kHostEnabledKey, enabled);
}

void HostModel::start() {
  if (listener_) return;
  if (!identity_) return;
  storeHostEnabled(true);

  if (state_.address.empty()) {
    state_.status = kWaitingForTailscale;
    state_.error = kConnectTailscale;
    publish();
    return;
  }

  std::shared_ptr<asio::ssl::context> tls;
  try {
    tls = identity_->makeServerContext();
  } catch (const std::exception&) {
    tls.reset();
  }
  if (!tls) {
    state_.error = QuorvantaError(kIdentityUnusable).message();
    publish();
    return;
  }

  listener_ = std::make_unique<TlsListener>(transport_, tls, transport_);
  listenAddress_ = state_.address;
  const std::uint64_t generation = ++listenerGeneration_;
  const std::weak_ptr<HostModel> weak = weak_from_this();
  TlsListener::Handlers handlers;
  handlers.onState = [weak, main = main_, generation](TlsListener::State listenerState) {
    asio::post(main, [weak, listenerState, generation] {
      const auto self = weak.lock();
      // A report of a listener that has since been closed must not reach the current one.
      if (self && self->listenerGeneration_ == generation) {
        self->applyListenerState(listenerState);
        self->publish();
      }
    });
  };
  handlers.onConnection = [weak, main = main_, generation](PacketConnection::TlsStream stream) {
    auto shared = std::make_shared<PacketConnection::TlsStream>(std::move(stream));
    asio::post(main, [weak, generation, shared] {
      const auto self = weak.lock();
      // A connection handed over by a listener that has since been closed is not taken.
      if (!self || !self->listener_ || self->listenerGeneration_ != generation) {
        std::error_code ignored;
        shared->lowest_layer().close(ignored);
        return;
      }
      self->accept(std::move(*shared));
      self->publish();
    });
  };
  listener_->start(state_.address, port_, std::move(handlers));
  storeHostEnabled(true);
  publish();
}

void HostModel::applyListenerState(const TlsListener::State& listenerState) {
  if (!listener_) return;  // a report from a listener that was already closed
  switch (listenerState.kind) {
    case TlsListener::State::Kind::ready:
      state_.running = true;
      state_.status = kReady;
      state_.error.reset();
      break;
    case TlsListener::State::Kind::failed:
      state_.error = listenerState.error;
      stop(true);
      state_.status = kReconnecting;
      break;
    case TlsListener::State::Kind::waiting:
      stop(true);
      state_.status = kWaitingForTailscale;
      break;
    case TlsListener::State::Kind::cancelled:
      break;
  }
}

void HostModel::stop(bool preserveIntent) {
  if (!preserveIntent) storeHostEnabled(false);
  // Destroying the listener clears its handlers first: no state report arrives after this.
  listener_.reset();
  ++listenerGeneration_;
  listenAddress_.clear();
  for (auto& [id, connection] : pending_)
    connection->cancel();
  pending_.clear();
  pendingPeers_.clear();
  spoken_.clear();
  refused_.clear();
  endSession(true, false);
  state_.running = false;
  state_.status = kSharingOff;
  state_.invitation.reset();
  recentPairing_.reset();
  publish();
}

void HostModel::refreshAddress(std::function<void()> done) {
  const std::weak_ptr<HostModel> weak = weak_from_this();
  const std::shared_ptr<HostEnvironment> environment = environment_;
  asio::post(lookups_, [weak, environment, main = main_, done = std::move(done)]() mutable {
    std::string address = environment->lookupTailscaleAddress();
    asio::post(main, [weak, address = std::move(address), done = std::move(done)] {
      const auto self = weak.lock();
      if (!self) return;
      // While the listener is bound, a failed lookup must not blank the address that
      // invitations carry.
      if (!address.empty() || !self->listener_) self->state_.address = address;
      self->publish();
      if (done) done();
      self->publish();
    });
  });
}

void HostModel::tick() {
  const double now = timings_.monotonic();
  const double wallNow = timings_.wallClock();
  state_.screenPermission = environment_->screenCaptureAllowed();
  state_.accessibilityPermission = environment_->inputInjectionAllowed();
  if (state_.invitation && state_.invitation->expiresAt <= wallNow) state_.invitation.reset();
  if (recentPairing_ && recentPairing_->expiresAt <= wallNow) recentPairing_.reset();
  std::erase_if(attempts_,
                [&](const auto& entry) { return now - entry.second.windowStart >= timings_.attemptMemory; });
  if (active_ && now - lastMessage_ > timings_.silenceLimit) endSession(true, true);

  const bool retryDue = !lastAddressRefresh_ || now - *lastAddressRefresh_ > timings_.addressRetryInterval;
  if (settings_.hostEnabled() && !listener_ && !refreshingAddress_ && retryDue) {
    refreshingAddress_ = true;
    lastAddressRefresh_ = now;
    const std::weak_ptr<HostModel> weak = weak_from_this();
    refreshAddress([weak] {
      const auto self = weak.lock();
      if (!self) return;
      self->refreshingAddress_ = false;
      if (self->settings_.hostEnabled()) self->start();
    });
  }
  publish();
}

void HostModel::endSession(bool cancelConnection, bool keepCaptureWarm) {
  sessionEpoch_ += 1;
  if (keepCaptureWarm && capture_ && activeDeviceID_) {
    detachVideoSink();
    if (warmDeviceID_ != activeDeviceID_) {
      warmDeviceID_ = activeDeviceID_;
      const std::uint64_t token = ++warmToken_;
      after(timings_.warmGrace, [token](HostModel& self) {
        if (self.warmToken_ != token || !self.warmDeviceID_) return;
        self.warmDeviceID_.reset();
        self.stopCapture();
        if (self.state_.running && !self.active_) self.state_.status = kReady;
      });
    }
  } else {
    warmDeviceID_.reset();
    stopCapture();
  }
  if (cancelConnection && active_) active_->cancel();
  active_.reset();
  activeID_.reset();
  activeDeviceID_.reset();
  state_.activeDevice.reset();
  activeFeatures_.clear();
  streamReady_ = false;
  releaseInput();
  awake_.reset();
  curtainLiftedLocally_ = false;
  applyCurtain();
  if (state_.running) state_.status = warmDeviceID_ ? kDroppedHeld : kReady;
  publish();
}

void HostModel::detachVideoSink() {
  if (!screen_) return;
  if (const auto pipeline = screen_->videoPipeline()) pipeline->attach(nullptr, 0, 0, false);
}

bool HostModel::controlAllowed() {
  return state_.controlEnabled && streamReady_ && environment_->inputInjectionAllowed();
}

void HostModel::setControlEnabled(bool enabled) {
  if (state_.controlEnabled == enabled) return;
  state_.controlEnabled = enabled;
  storeSetting(kControlEnabledKey, enabled);
  if (!enabled) releaseInput();
  if (active_) {
    ControlMessage permissions = ControlMessage::make("permissions");
    permissions.controlAllowed = controlAllowed();
    active_->send(permissions);
  }
  publish();
}

}  // namespace quorvanta
