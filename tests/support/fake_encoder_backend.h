#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/video/encoder_backend.h"

namespace quorvanta::test {

// A scriptable encoder service. Sessions keep every submission with its handler; the test decides
// when and with what output each handler runs.
class FakeEncoderBackend : public EncoderBackend {
 public:
  struct Submission {
    PixelBufferRef buffer;
    double time = 0;
    bool forceKeyframe = false;
    SessionOutputHandler handler;
  };

  // Everything one session saw, kept after the session is gone.
  struct SessionLog {
    SessionSettings settings;
    int prepareCalls = 0;
    std::vector<std::pair<std::int64_t, DataRateLimit>> bitrates;
    std::vector<Submission> submissions;
    bool invalidated = false;
    int prepareStatus = 0;
    std::deque<int> submitStatuses;  // one per submit, then 0
    // What completeAndInvalidate() gives the frames still pending.
    SessionOutput flushOutput;

    // Runs the handler of submission `index` with `output`.
    void deliver(std::size_t index, SessionOutput output) {
      auto handler = std::exchange(submissions.at(index).handler, nullptr);
      if (handler) handler(std::move(output));
    }
  };

  class Session : public EncoderSession {
   public:
    explicit Session(std::shared_ptr<SessionLog> log) : log_(std::move(log)) {}
    int prepare() override {
      ++log_->prepareCalls;
      return log_->prepareStatus;
    }
    void setBitrate(std::int64_t average, DataRateLimit limit) override {
      log_->bitrates.emplace_back(average, limit);
    }
    int submit(PixelBufferRef buffer, double time, bool forceKeyframe,
               SessionOutputHandler handler) override {
      int status = 0;
      if (!log_->submitStatuses.empty()) {
        status = log_->submitStatuses.front();
        log_->submitStatuses.pop_front();
      }
      log_->submissions.push_back(
          {std::move(buffer), time, forceKeyframe, status == 0 ? std::move(handler) : nullptr});
      return status;
    }
    void completeAndInvalidate() override {
      for (std::size_t i = 0; i < log_->submissions.size(); ++i)
        log_->deliver(i, log_->flushOutput);
      log_->invalidated = true;
    }
    std::string description() const override { return "fake"; }

   private:
    std::shared_ptr<SessionLog> log_;
  };

  // Statuses of the next createSession() calls, in order; 0 (or nothing left) makes a session.
  std::deque<int> createStatuses;
  // Refuse every low-latency request with this status.
  std::optional<int> refuseLowLatency;
  // Given to each new session.
  int prepareStatus = 0;
  std::vector<SessionSettings> requests;
  std::vector<std::shared_ptr<SessionLog>> sessions;

  std::unique_ptr<EncoderSession> createSession(const SessionSettings& settings, int& status) override {
    requests.push_back(settings);
    status = 0;
    if (!createStatuses.empty()) {
      status = createStatuses.front();
      createStatuses.pop_front();
    }
    if (status == 0 && settings.lowLatency && refuseLowLatency) status = *refuseLowLatency;
    if (status != 0) return nullptr;
    auto log = std::make_shared<SessionLog>();
    log->settings = settings;
    log->prepareStatus = prepareStatus;
    sessions.push_back(log);
    return std::make_unique<Session>(log);
  }

  SessionLog& last() { return *sessions.back(); }
};

// A good sample: a keyframe with parameter sets, or a plain frame.
inline SessionOutput goodOutput(bool keyframe) {
  EncoderSample sample;
  sample.keyframe = keyframe;
  sample.data = Bytes{0, 0, 0, 2, keyframe ? std::uint8_t{0x65} : std::uint8_t{0x41}, 0x88};
  if (keyframe) sample.parameterSets = ParameterSets{{0x67, 0x64, 0x00, 0x1f}, {0x68, 0xee, 0x3c, 0x80}};
  return {0, false, std::move(sample)};
}

}  // namespace quorvanta::test
