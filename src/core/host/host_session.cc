// The active session: streaming with a capture started or resumed for it, and the messages of the
// client in session.

#include <algorithm>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include "core/host/host_model.h"
#include "core/video/screen_streamer.h"

namespace quorvanta {
namespace {

constexpr const char* kScreenRecording =
    "Allow Screen Recording for Quorvanta Host on the Mac, then reopen the host.";
constexpr const char* kScreenLocked =
    "This Mac's screen is locked. Type your Mac password with the keyboard to unlock it.";

constexpr std::int64_t kDefaultFps = 30;
constexpr std::int64_t kDefaultMaxWidth = 1920;
constexpr std::int64_t kDefaultBitrate = 6'000'000;

std::int64_t setting(const std::optional<std::int64_t>& value, std::int64_t fallback, std::int64_t low,
                     std::int64_t high) {
  return value ? std::clamp(*value, low, high) : fallback;
}

}  // namespace

HostModel::StreamRequest HostModel::streamRequest(const ControlMessage& message) const {
  StreamRequest request;
  request.fps = setting(message.fps, kDefaultFps, 10, 60);
  request.maxWidth = setting(message.maxWidth, kDefaultMaxWidth, 960, 3840);
  request.bitrate = setting(message.bitrate, kDefaultBitrate, 1'000'000, 24'000'000);
  request.displayID = message.displayID;
  request.acknowledged = activeFeatures_.contains(kFeatureFrameAck);
  return request;
}

void HostModel::beginStream(const ControlMessage& message, const std::shared_ptr<PacketConnection>& channel,
                            ConnectionID id) {
  if (!screen_ || !environment_->screenCaptureAllowed()) {
    ControlMessage permission = ControlMessage::make("hostPermission");
    const std::string refusal = environment_->captureRefusal();
    permission.message = refusal.empty() ? std::string(kScreenRecording) : refusal;
    channel->send(permission);
    return;
  }
  StreamRequest request = streamRequest(message);
  const auto pipeline = screen_->videoPipeline();

  const bool warm = capture_ && activeDeviceID_ && activeDeviceID_ == warmDeviceID_ &&
                    message.restart != true && request.fps == capture_->fps &&
                    request.maxWidth == capture_->maxWidth && request.bitrate == capture_->bitrate &&
                    (!request.displayID || *request.displayID == capture_->selected.id) && pipeline &&
                    pipeline->hasFrame() && displaysAwake();
  if (warm) {
    // The capture kept for this device carries on; only the connection changes.
    warmDeviceID_.reset();
    sessionEpoch_ += 1;
    releaseInput();
    setInputDisplay(capture_->selected.id);
    streamReady_ = true;
    pipeline->attach(channel, request.fps, request.bitrate, request.acknowledged);
    sendStreaming(*capture_, channel);
    keepAwake();
    applyCurtain();
    return;
  }

  warmDeviceID_.reset();
  capture_.reset();
  screen_->retire();
  sessionEpoch_ += 1;
  request.id = id;
  request.epoch = sessionEpoch_;
  request.channel = channel;
  streamReady_ = false;
  releaseInput();
  applyCurtain();
  detachVideoSink();
  ControlMessage permissions = ControlMessage::make("permissions");
  permissions.controlAllowed = false;
  channel->send(permissions);

  auto previous = std::exchange(captureTask_, std::make_shared<CompletionSignal>(main_));
  asio::co_spawn(main_, captureStart(weak_from_this(), screen_, previous, captureTask_, request),
                 asio::detached);
}

bool HostModel::current(const StreamRequest& request) const {
  return activeID_ == request.id && sessionEpoch_ == request.epoch;
}

void HostModel::hostUnavailable(const std::weak_ptr<PacketConnection>& channel, const std::string& message) {
  if (const auto connection = channel.lock()) {
    ControlMessage unavailable = ControlMessage::make("hostUnavailable");
    unavailable.message = message;
    connection->send(unavailable);
  }
}

asio::awaitable<void> HostModel::captureStart(std::weak_ptr<HostModel> weak,
                                              std::shared_ptr<ScreenStreamer> screen,
                                              std::shared_ptr<CompletionSignal> previous,
                                              std::shared_ptr<CompletionSignal> done, StreamRequest request) {
  // Starts and stops never overlap: each waits for the one before it.
  const SignalOnExit finish(done);
  if (previous) co_await previous->wait();

  {
    const auto self = weak.lock();
    if (!self || !self->current(request)) co_return;
  }
  co_await wakeDisplays(weak);
  std::vector<RemoteDisplay> displays;
  std::string failure;
  try {
    displays = co_await screen->displays();
  } catch (const std::exception& error) {
    failure = error.what();
  }
  if (!failure.empty()) {
    hostUnavailable(request.channel, failure);
    co_return;
  }

  {
    const auto self = weak.lock();
    if (!self || !self->current(request)) co_return;
  }
  RemoteDisplay selected;
  try {
    selected = co_await screen->start(request.displayID, static_cast<int>(request.maxWidth),
                                      static_cast<int>(request.fps));
  } catch (const std::exception& error) {
    failure = error.what();
  }
  if (!failure.empty()) {
    hostUnavailable(request.channel, failure);
    co_return;
  }

  const auto self = weak.lock();
  const auto channel = request.channel.lock();
  if (!self || !self->current(request) || !channel) {
    // Nobody wants this capture any more.
    co_await screen->stop();
    co_return;
  }
  self->capture_ = CaptureState{request.fps, request.maxWidth, request.bitrate, selected, displays};
  self->releaseInput();
  self->setInputDisplay(selected.id);
  self->streamReady_ = true;
  if (const auto pipeline = screen->videoPipeline())
    pipeline->attach(channel, request.fps, request.bitrate, request.acknowledged);
  self->sendStreaming(*self->capture_, channel);
  self->keepAwake();
  self->applyCurtain();
  if (self->screenLocked()) self->notice(channel, kScreenLocked);
  self->publish();
}

asio::awaitable<void> HostModel::captureStop(std::shared_ptr<ScreenStreamer> screen,
                                             std::shared_ptr<CompletionSignal> previous,
                                             std::shared_ptr<CompletionSignal> done) {
  const SignalOnExit finish(done);
  if (previous) co_await previous->wait();
  co_await screen->stop();
}

void HostModel::stopCapture() {
  capture_.reset();
  if (!screen_) return;
  screen_->retire();
  detachVideoSink();
  auto previous = std::exchange(captureTask_, std::make_shared<CompletionSignal>(main_));
  asio::co_spawn(main_, captureStop(screen_, previous, captureTask_), asio::detached);
}

void HostModel::captureFailed(const std::string& message) {
  sessionEpoch_ += 1;
  warmDeviceID_.reset();
  streamReady_ = false;
  releaseInput();
  applyCurtain();
  if (active_) hostUnavailable(active_, message);
  stopCapture();
}

void HostModel::sendStreaming(const CaptureState& capture, const std::shared_ptr<PacketConnection>& channel) {
  ControlMessage streaming = ControlMessage::make("streaming");
  streaming.displays = capture.displays;
  streaming.displayID = capture.selected.id;
  streaming.width = capture.selected.width;
  streaming.height = capture.selected.height;
  streaming.controlAllowed = controlAllowed();
  channel->send(streaming);
}

void HostModel::handleActive(const ControlMessage& message,
                             const std::shared_ptr<PacketConnection>& channel) {
  lastMessage_ = timings_.monotonic();
  const std::string& type = message.type;
  if (type == "ping") {
    const auto stats = channel->pacer().stats();
    ControlMessage pong = ControlMessage::make("pong");
    pong.bitrate = stats.target;
    pong.fps = stats.fps;
    channel->send(pong);
  } else if (type == "stream") {
    beginStream(message, channel, *activeID_);
  } else if (type == "input") {
    if (controlAllowed()) handleInput(message);
  } else if (type == "release") {
    releaseInput();
  } else if (type == "keyframe") {
    if (screen_)
      if (const auto pipeline = screen_->videoPipeline()) pipeline->requestKeyframe();
  } else if (type == "invite") {
    shareInvitation(channel);
  } else if (type == "clipboard") {
    receiveClipboard(message);
  } else if (type == "clipboardRequest") {
    sendClipboard(channel);
  } else if (type == "disconnect") {
    endSession(true, false);
  }
}

}  // namespace quorvanta
