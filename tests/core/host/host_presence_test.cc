// The curtain, local input and idle-sleep holds through the host model, with a scripted capture
// service, a recording curtain and presence service, and real TLS clients.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "core/video/screen_streamer.h"
#include "host_model_harness.h"
#include "support/fake_capture_service.h"
#include "support/fake_video_encoder.h"

namespace quorvanta::test {
namespace {

using quorvanta::testing::FakeCaptureService;

constexpr const char* kPhone = "0E1C7A52-7F34-4D8E-9C55-1B2A3C4D5E6F";
constexpr std::uint32_t kCurtainWindow = 0x600001;
constexpr const char* kLifted =
    "Someone at the Mac used its keyboard or mouse, so its screen is no longer dimmed.";

// Records what the host asks of its curtain. Called on the host's executor only.
class RecordingCurtain : public PrivacyCurtain {
 public:
  std::vector<std::uint32_t> prepare() override {
    ++prepared;
    return {kCurtainWindow};
  }
  void reveal() override {
    ++revealed;
    shown = true;
  }
  void hide() override { shown = false; }

  int prepared = 0;
  int revealed = 0;
  bool shown = false;
};

class FakePresence : public PresenceService {
 public:
  class Hold : public PresenceHold {
   public:
    explicit Hold(int& count) : count_(count) { ++count_; }
    ~Hold() override { --count_; }

   private:
    int& count_;
  };

  std::unique_ptr<PresenceHold> keepAwake() override {
    ++awakeRequests;
    return std::make_unique<Hold>(awakeHolds);
  }
  bool displaysAwake() override { return awake; }
  void declareUserActivity() override {
    ++activity;
    awake = true;
  }
  bool screenLocked() override { return locked; }
  std::unique_ptr<PresenceHold> watchLocalInput(std::function<void()> onLocalInput) override {
    localInput = std::move(onLocalInput);
    return std::make_unique<Hold>(watches);
  }
  // Someone at the computer moves the mouse.
  void touch() {
    if (watches > 0 && localInput) localInput();
  }

  int awakeRequests = 0;
  int awakeHolds = 0;
  int watches = 0;
  int activity = 0;
  bool awake = true;
  bool locked = false;
  std::function<void()> localInput;
};

class HostPresenceTest : public HostModelFixture {
 protected:
  HostPresenceTest() {
    service_->content.displays = {{69, 1920, 1080}};
    service_->content.windows = {{kCurtainWindow}};
    environment_->streamer = ScreenStreamer::create(service_, std::make_unique<FakeVideoEncoder>());
    environment_->curtainWindows = curtain_;
    environment_->presenceService = presence_;
  }

  TestClient& streamingClient() {
    auto [client, token] = pair(kPhone, "Phone");
    client->send(ControlMessage::make("stream"));
    EXPECT_TRUE(waitFor(*client, "streaming"));
    return *client;
  }
  bool settle(const std::function<bool()>& condition) { return runUntil(main_, condition); }
  void pause() {
    runUntil(
        main_, [] { return false; }, std::chrono::milliseconds(250));
  }

  std::shared_ptr<FakeCaptureService> service_ = std::make_shared<FakeCaptureService>();
  std::shared_ptr<RecordingCurtain> curtain_ = std::make_shared<RecordingCurtain>();
  std::shared_ptr<FakePresence> presence_ = std::make_shared<FakePresence>();
};

TEST_F(HostPresenceTest, TheCurtainShowsOnlyOnceTheCaptureLeavesItOut) {
  startSharing();
  model_->setCurtainEnabled(true);
  EXPECT_FALSE(curtain_->shown);  // no session yet

  TestClient& client = streamingClient();
  ASSERT_TRUE(settle([&] { return curtain_->shown; }));
  EXPECT_EQ(service_->streams().back()->filter().excludedWindows, std::vector<WindowID>{kCurtainWindow});
  EXPECT_EQ(presence_->watches, 1);

  // Off hides it at once and stops watching; on shows it again after the capture agreed.
  model_->setCurtainEnabled(false);
  EXPECT_FALSE(curtain_->shown);
  EXPECT_EQ(presence_->watches, 0);
  model_->setCurtainEnabled(true);
  EXPECT_FALSE(curtain_->shown);
  ASSERT_TRUE(settle([&] { return curtain_->shown; }));

  // Someone at the computer touches the mouse: lifted for the rest of the session, one notice.
  presence_->touch();
  EXPECT_FALSE(curtain_->shown);
  EXPECT_TRUE(model_->curtainLiftedLocally());
  ASSERT_TRUE(waitFor(client, "notice"));
  EXPECT_EQ(client.find("notice")->message, kLifted);
  presence_->touch();
  model_->screensChanged();
  pause();
  EXPECT_FALSE(curtain_->shown);
  std::size_t notices = 0;
  for (const auto& message : client.messages())
    notices += message.type == "notice" ? 1u : 0u;
  EXPECT_EQ(notices, 1u);

  // The next session dims the screen again.
  client.send(ControlMessage::make("disconnect"));
  ASSERT_TRUE(waitClosed(client));
  EXPECT_FALSE(model_->curtainLiftedLocally());
  TestClient& again = connect();
  again.send(authenticateMessage(hostID(), kPhone, *client.find("paired")->token));
  ASSERT_TRUE(waitFor(again, "hello"));
  again.send(ControlMessage::make("stream"));
  ASSERT_TRUE(settle([&] { return curtain_->shown; }));
}

TEST_F(HostPresenceTest, ACurtainTheCaptureCannotLeaveOutStaysHidden) {
  service_->content.windows.clear();  // the curtain's window is not on screen
  startSharing();
  model_->setCurtainEnabled(true);
  streamingClient();
  ASSERT_TRUE(settle([&] { return curtain_->prepared >= 1; }));
  pause();
  EXPECT_EQ(curtain_->revealed, 0);
  EXPECT_FALSE(curtain_->shown);
  EXPECT_EQ(presence_->watches, 0);
}

TEST_F(HostPresenceTest, StreamsHoldTheMachineAwakeUntilTheSessionEnds) {
  presence_->awake = false;  // the displays sleep: waking them comes first
  presence_->locked = true;
  startSharing();
  TestClient& client = streamingClient();
  EXPECT_EQ(presence_->activity, 1);
  EXPECT_EQ(presence_->awakeHolds, 1);
  ASSERT_TRUE(waitFor(client, "notice"));
  EXPECT_EQ(client.find("notice")->message,
            "This Mac's screen is locked. Type your Mac password with the keyboard to unlock it.");

  ControlMessage restart = ControlMessage::make("stream");
  restart.restart = true;
  client.send(restart);
  ASSERT_TRUE(settle([&] { return presence_->awakeRequests == 1 && model_->streamReady(); }));
  pause();
  EXPECT_EQ(presence_->awakeRequests, 1);  // held once per session

  client.send(ControlMessage::make("disconnect"));
  ASSERT_TRUE(waitClosed(client));
  EXPECT_EQ(presence_->awakeHolds, 0);
}

}  // namespace
}  // namespace quorvanta::test
