#include "tools/client/client_script.h"

#include <algorithm>

namespace quorvanta::client {
namespace {

using Kind = ScriptStep::Kind;

ControlMessage streamMessage(const StreamSettings& settings) {
  auto message = ControlMessage::make("stream");
  message.displayID = settings.displayID;
  message.fps = settings.fps;
  message.maxWidth = settings.maxWidth;
  message.bitrate = settings.bitrate;
  if (settings.restart) message.restart = true;
  return message;
}

ScriptStep send(std::vector<ControlMessage> messages) {
  ScriptStep step;
  step.kind = Kind::send;
  step.messages = std::move(messages);
  return step;
}

ScriptStep await(std::string type, std::vector<std::string> failures, std::chrono::milliseconds limit,
                 std::string sentence) {
  ScriptStep step;
  step.kind = Kind::await;
  step.awaited = std::move(type);
  step.failures = std::move(failures);
  step.duration = limit;
  step.timeoutSentence = std::move(sentence);
  return step;
}

ScriptStep pause(std::chrono::milliseconds length) {
  ScriptStep step;
  step.kind = Kind::pause;
  step.duration = length;
  return step;
}

// Replies that mean the stream will not start.
std::vector<std::string> streamFailures() {
  return {"hostPermission", "hostUnavailable"};
}

ControlMessage input(std::string event) {
  auto message = ControlMessage::make("input");
  message.event = std::move(event);
  return message;
}

}  // namespace

std::vector<ControlMessage> inputMessages(const InputAction& action) {
  using Action = InputAction::Kind;
  switch (action.kind) {
    case Action::move: {
      auto move = input("move");
      move.x = action.x;
      move.y = action.y;
      move.modifiers = action.modifiers;
      return {move};
    }
    case Action::click: {
      auto press = input("button");
      press.x = action.x;
      press.y = action.y;
      press.button = action.right ? 1 : 0;
      press.modifiers = action.modifiers;
      press.keyDown = true;
      auto release = press;
      release.keyDown = false;
      return {press, release};
    }
    case Action::key: {
      auto press = input("key");
      press.keyCode = action.keyCode;
      press.modifiers = action.modifiers;
      press.keyDown = true;
      auto release = press;
      release.keyDown = false;
      return {press, release};
    }
    case Action::text: {
      auto text = input("text");
      text.text = action.text;
      return {text};
    }
    case Action::scroll: {
      auto scroll = input("scroll");
      scroll.x = action.x;
      scroll.y = action.y;
      return {scroll};
    }
  }
  return {};
}

Script scriptFor(const Options& options) {
  const auto streaming = [&] { return await("streaming", streamFailures(), kStreamingTimeout, kNoStream); };
  switch (options.command) {
    case Command::pair:
    case Command::connect:
      return {};
    case Command::stream: {
      // The whole run lasts the chosen time from "hello", however long the stream takes to start.
      auto started = await("streaming", streamFailures(), options.streamDuration, kNoStream);
      started.sinceAdmission = true;
      auto watch = pause(options.streamDuration);
      watch.sinceAdmission = true;
      return {send({streamMessage(options.stream)}), started, watch};
    }
    case Command::input:
      return {send({streamMessage(options.stream)}), streaming(), send(inputMessages(options.input)),
              pause(kSettleTime)};
    case Command::clipboard: {
      Script script{send({streamMessage(options.stream)}), streaming()};
      if (options.clipboard.kind == ClipboardAction::Kind::get) {
        // A notice the host sends along with "streaming" (a locked screen) must not be taken for
        // the answer to the request: the "pong" to a ping comes after it.
        script.push_back(send({ControlMessage::make("ping")}));
        script.push_back(await("pong", {}, kStreamingTimeout, kNoPong));
        script.push_back(send({ControlMessage::make("clipboardRequest")}));
        script.push_back(await("clipboard", {"notice"}, kClipboardTimeout, kNoClipboard));
      } else {
        auto clipboard = ControlMessage::make("clipboard");
        clipboard.text = options.clipboard.text;
        if (options.clipboard.paste) clipboard.event = "paste";
        script.push_back(send({clipboard}));
        script.push_back(pause(kSettleTime));
      }
      return script;
    }
  }
  return {};
}

ScriptRunner::ScriptRunner(asio::io_context& io, Script script, Hooks hooks, std::ostream& err)
    : script_(std::move(script)), hooks_(std::move(hooks)), err_(err), timer_(io) {}

void ScriptRunner::start() {
  if (running_ || script_.empty()) return;
  running_ = true;
  admittedAt_ = std::chrono::steady_clock::now();
  run(script_.front());
}

void ScriptRunner::received(const ControlMessage& message) {
  if (!running_ || current_ >= script_.size()) return;
  const ScriptStep& step = script_[current_];
  if (step.kind != Kind::await) return;
  if (message.type == step.awaited) {
    timer_.cancel();
    return next();
  }
  if (std::find(step.failures.begin(), step.failures.end(), message.type) != step.failures.end()) {
    fail(message.message.value_or(step.timeoutSentence));
  }
}

bool ScriptRunner::accomplished() const {
  if (current_ >= script_.size()) return true;
  return current_ + 1 == script_.size() && script_.back().kind == Kind::pause;
}

void ScriptRunner::stop() {
  running_ = false;
  timer_.cancel();
}

void ScriptRunner::next() {
  ++current_;
  if (current_ >= script_.size()) {
    running_ = false;
    return hooks_.end(kExitOk);
  }
  run(script_[current_]);
}

void ScriptRunner::run(const ScriptStep& step) {
  switch (step.kind) {
    case Kind::send:
      for (const auto& message : step.messages)
        hooks_.send(message);
      return next();
    case Kind::await:
      return startTimer(step, [this, sentence = step.timeoutSentence] { fail(sentence); });
    case Kind::pause:
      return startTimer(step, [this] { next(); });
  }
}

void ScriptRunner::startTimer(const ScriptStep& step, std::function<void()> expired) {
  if (step.sinceAdmission) {
    timer_.expires_at(admittedAt_ + step.duration);
  } else {
    timer_.expires_after(step.duration);
  }
  timer_.async_wait([this, expired = std::move(expired)](const std::error_code& error) {
    if (!error && running_) expired();
  });
}

void ScriptRunner::fail(const std::string& sentence) {
  if (!running_) return;
  running_ = false;
  timer_.cancel();
  err_ << sentence << std::endl;
  hooks_.end(kExitFailure);
}

}  // namespace quorvanta::client
