// Streaming sessions through the host model: a real screen streamer and video pipeline over a
// scripted capture service and encoder, real TLS clients, recorded input, clipboard, curtain and
// presence.

#include <condition_variable>
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
constexpr const char* kTablet = "9A8B7C6D-5E4F-4A3B-8C2D-1E0F2A3B4C5D";
constexpr const char* kAllowToCopy = "Allow remote control in Quorvanta Host to copy from the Mac.";
constexpr DisplayID kMain = 69;
constexpr DisplayID kSide = 70;
constexpr std::uint32_t kCurtainWindow = 0x600001;

class RecordingSink : public InputEventSink {
 public:
  void emit(const InputEvent& event) override {
    std::lock_guard guard(lock_);
    events_.push_back(event);
  }
  std::vector<InputEvent> events() {
    std::lock_guard guard(lock_);
    return events_;
  }

 private:
  std::mutex lock_;
  std::vector<InputEvent> events_;
};

// A clipboard whose owner, once held, answers only when the test releases it, within the read's limit.
class TestClipboard : public Clipboard {
 public:
  std::optional<std::string> readText(std::chrono::milliseconds limit) override {
    std::unique_lock guard(lock_);
    ++reads_;
    changed_.wait_for(guard, limit, [&] { return !held_; });
    return text_;
  }
  void setText(std::string text) override {
    std::lock_guard guard(lock_);
    text_ = std::move(text);
  }
  void hold(bool held) {
    std::lock_guard guard(lock_);
    held_ = held;
    changed_.notify_all();
  }
  int reads() {
    std::lock_guard guard(lock_);
    return reads_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::optional<std::string> text_;
  bool held_ = false;
  int reads_ = 0;
};

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
  void declareUserActivity() override { awake = true; }
  bool screenLocked() override { return locked; }
  std::unique_ptr<PresenceHold> watchLocalInput(std::function<void()> onLocalInput) override {
    localInput = std::move(onLocalInput);
    return std::make_unique<Hold>(watches);
  }

  int awakeRequests = 0;
  int awakeHolds = 0;
  int watches = 0;
  bool awake = true;
  bool locked = false;
  std::function<void()> localInput;
};

class HostSessionTest : public HostModelFixture {
 protected:
  HostSessionTest() {
    service_->content.displays = {{kMain, 1920, 1080}, {kSide, 1280, 1024}};
    service_->content.windows = {{kCurtainWindow}};
    service_->names = {{kMain, "Studio Display"}};
    environment_->streamer = ScreenStreamer::create(service_, std::make_unique<FakeVideoEncoder>());
    environment_->sink = sink_;
    environment_->clipboardService = clipboard_;
    environment_->curtainWindows = curtain_;
    environment_->presenceService = presence_;
  }
  bool shown() {
    return runUntil(main_, [&] { return curtain_->shown; });
  }

  bool streaming(TestClient& client, std::size_t times = 1) {
    return runUntil(main_, [&] { return client.count("streaming") >= times; });
  }
  void deliverFrame() {
    auto image = std::make_shared<PixelBuffer>();
    image->width = 1920;
    image->height = 1080;
    CaptureSample sample;
    sample.status = static_cast<int>(FrameStatus::complete);
    sample.image = std::move(image);
    sample.presentationTime = 1;
    service_->streams().back()->deliver(std::move(sample));
    ASSERT_TRUE(runUntil(main_, [&] { return environment_->streamer->videoPipeline()->hasFrame(); }));
  }

  std::shared_ptr<FakeCaptureService> service_ = std::make_shared<FakeCaptureService>();
  std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
  std::shared_ptr<TestClipboard> clipboard_ = std::make_shared<TestClipboard>();
  std::shared_ptr<RecordingCurtain> curtain_ = std::make_shared<RecordingCurtain>();
  std::shared_ptr<FakePresence> presence_ = std::make_shared<FakePresence>();
};

TEST_F(HostSessionTest, StreamClampsItsSettingsAndAnnouncesTheDisplays) {
  startSharing();
  auto [client, token] = pair(kPhone, "Phone");
  ControlMessage stream = ControlMessage::make("stream");
  stream.fps = 5;
  stream.maxWidth = 5000;
  client->send(stream);
  ASSERT_TRUE(streaming(*client));
  EXPECT_EQ(client->find("permissions")->controlAllowed, false);
  const auto announced = *client->find("streaming");
  EXPECT_EQ(announced.displayID, kMain);
  EXPECT_EQ(announced.width, 1920);
  ASSERT_EQ(announced.displays->size(), 2u);
  EXPECT_EQ(announced.displays->at(0).name, "Studio Display");
  EXPECT_EQ(announced.displays->at(1).name, "Display 70");
  const auto configuration = service_->streams().back()->configuration();
  EXPECT_EQ(configuration.fps, 10);
  EXPECT_EQ(configuration.width, 1920);  // 3840 allowed, never enlarged
}

// The resumption itself is StreamIntegrationTest's; another device's admission ends a warm capture at once.
TEST_F(HostSessionTest, AnotherDevicesAdmissionEndsAWarmCapture) {
  startSharing();
  TestClient& first = streamingClient(kPhone);
  deliverFrame();
  first.close();
  ASSERT_TRUE(runUntil(main_, [&] { return model_->warmDeviceID() == std::optional<std::string>(kPhone); }));
  pair(kTablet, "Tablet");
  EXPECT_EQ(model_->warmDeviceID(), std::nullopt);
  EXPECT_TRUE(runUntil(main_, [&] { return service_->streams().back()->stopCalls() >= 1; }));
}

TEST_F(HostSessionTest, CaptureFailuresAreReportedAndTheSessionStays) {
  startSharing();
  auto [client, token] = pair(kPhone, "Phone");
  service_->startBehavior = quorvanta::testing::Behavior::fail("no screen today");
  client->send(ControlMessage::make("stream"));
  ASSERT_TRUE(waitFor(*client, "hostUnavailable"));
  EXPECT_EQ(client->find("hostUnavailable")->message, "no screen today");
  service_->startBehavior = {};
  client->send(ControlMessage::make("stream"));
  ASSERT_TRUE(streaming(*client));
  service_->streams().back()->stopWithError("The display went away.");
  ASSERT_TRUE(runUntil(main_, [&] { return client->count("hostUnavailable") == 2; }));
  EXPECT_FALSE(model_->streamReady());
  EXPECT_FALSE(client->closed());
}

TEST_F(HostSessionTest, WithoutCaptureTheClientIsToldWhy) {
  environment_->streamer.reset();
  startSharing();
  const struct {
    const char* device;
    const char* refusal;
    const char* message;
  } cases[] = {{kPhone, "", "Allow Screen Recording for Quorvanta Host on the Mac, then reopen the host."},
               {kTablet, "Log in to another session.", "Log in to another session."}};
  for (const auto& each : cases) {
    environment_->refusal = each.refusal;
    auto [client, token] = pair(each.device, "Phone");
    client->send(ControlMessage::make("stream"));
    ASSERT_TRUE(waitFor(*client, "hostPermission"));
    EXPECT_EQ(client->find("hostPermission")->message, each.message);
    client->send(ControlMessage::make("disconnect"));
    ASSERT_TRUE(waitClosed(*client));
  }
}

TEST_F(HostSessionTest, InputAndClipboardNeedControlAndAStreamAndHeldKeysAreLetGo) {
  startSharing();
  model_->setControlEnabled(true);
  auto [client, token] = pair(kPhone, "Phone");
  ControlMessage key = ControlMessage::make("input");
  key.event = "key";
  key.keyCode = 0;
  key.keyDown = true;
  client->send(key);  // before streaming: dropped
  ControlMessage paste = ControlMessage::make("clipboard");
  paste.text = "early";
  client->send(paste);
  client->send(ControlMessage::make("clipboardRequest"));
  ASSERT_TRUE(waitFor(*client, "notice"));
  EXPECT_EQ(client->find("notice")->message, kAllowToCopy);
  EXPECT_TRUE(sink_->events().empty());
  EXPECT_EQ(clipboard_->readText({}), std::nullopt);

  client->send(ControlMessage::make("stream"));
  ASSERT_TRUE(streaming(*client));
  EXPECT_EQ(client->find("streaming")->controlAllowed, true);
  client->send(key);
  paste.text = "from the phone";
  paste.event = "paste";
  client->send(paste);
  ASSERT_TRUE(runUntil(main_, [&] { return sink_->events().size() == 3; }));
  EXPECT_EQ(std::get<KeyEvent>(sink_->events()[0]), (KeyEvent{0, true, 0}));
  EXPECT_EQ(std::get<KeyEvent>(sink_->events()[1]), (KeyEvent{9, true, 0x100000}));
  EXPECT_EQ(clipboard_->readText({}), "from the phone");

  model_->setControlEnabled(false);
  ASSERT_TRUE(waitFor(*client, "permissions"));
  EXPECT_EQ(std::get<KeyEvent>(sink_->events().back()), (KeyEvent{0, false, 0}));
}

TEST_F(HostSessionTest, AFloodOfClipboardRequestsMakesOneReadAndNothingIsSentAfterControlEnds) {
  clipboard_->hold(true);
  startSharing();
  model_->setControlEnabled(true);
  TestClient& client = streamingClient(kPhone);
  for (int index = 0; index < 100; ++index)
    client.send(ControlMessage::make("clipboardRequest"));
  ASSERT_TRUE(runUntil(main_, [&] { return clipboard_->reads() == 1; }));

  // Copied after the person switched control off: it must not leave the machine.
  model_->setControlEnabled(false);
  clipboard_->setText("copied after control ended");
  clipboard_->hold(false);
  ASSERT_TRUE(waitFor(client, "notice"));
  pause(std::chrono::milliseconds(300));  // the read's answer has the time to arrive
  EXPECT_EQ(client.find("notice")->message, kAllowToCopy);
  EXPECT_FALSE(client.find("clipboard"));
  EXPECT_EQ(clipboard_->reads(), 1);
}

TEST_F(HostSessionTest, ClipboardTextsThatGrowAsJsonAreCutToFitOneMessage) {
  startSharing();
  model_->setControlEnabled(true);
  TestClient& client = streamingClient(kPhone);
  clipboard_->setText(std::string(60'000, '"'));
  client.send(ControlMessage::make("clipboardRequest"));
  ASSERT_TRUE(waitFor(client, "clipboard"));
  const auto quotes = *client.find("clipboard");
  EXPECT_GT(quotes.text->size(), 20'000u);
  EXPECT_EQ(quotes.text->find_first_not_of('"'), std::string::npos);
  EXPECT_LE(encodeControlMessage(quotes)->size(), 60'000u);
}

TEST_F(HostSessionTest, AnInviteFromTheClientInSessionNeedsControlAndGetsTheNewLink) {
  startSharing();
  TestClient& client = streamingClient(kPhone);
  client.send(ControlMessage::make("invite"));
  ASSERT_TRUE(waitFor(client, "notice"));
  EXPECT_EQ(client.find("notice")->message,
            "Allow remote control in Quorvanta Host to pair another device from here.");
  model_->setControlEnabled(true);
  client.send(ControlMessage::make("invite"));
  ASSERT_TRUE(waitFor(client, "invitation"));
  EXPECT_EQ(client.find("invitation")->text, model_->state().invitation->url());
}

TEST_F(HostSessionTest, TheCurtainShowsOnlyOnceTheCaptureLeavesItOut) {
  startSharing();
  model_->setCurtainEnabled(true);
  EXPECT_FALSE(curtain_->shown);  // no session yet
  TestClient& client = streamingClient(kPhone);
  ASSERT_TRUE(shown());
  EXPECT_EQ(service_->streams().back()->filter().excludedWindows, std::vector<WindowID>{kCurtainWindow});
  EXPECT_EQ(presence_->watches, 1);

  // Lifted by someone at the computer for the rest of the session; the next one dims again.
  presence_->localInput();
  EXPECT_FALSE(curtain_->shown);
  model_->screensChanged();
  pause();
  EXPECT_FALSE(curtain_->shown);
  client.send(ControlMessage::make("disconnect"));
  ASSERT_TRUE(waitClosed(client));
  reconnect(kPhone).send(ControlMessage::make("stream"));
  ASSERT_TRUE(shown());
}

TEST_F(HostSessionTest, ACurtainTheCaptureCannotLeaveOutStaysHidden) {
  service_->content.windows.clear();  // the curtain's window is not on screen
  startSharing();
  model_->setCurtainEnabled(true);
  streamingClient(kPhone);
  ASSERT_TRUE(runUntil(main_, [&] { return curtain_->prepared >= 1; }));
  pause();
  EXPECT_EQ(curtain_->revealed, 0);
  EXPECT_EQ(presence_->watches, 0);
}

TEST_F(HostSessionTest, StreamsWakeAndHoldTheMachineAwakeUntilTheSessionEnds) {
  presence_->awake = false;  // the displays sleep: waking them comes first
  presence_->locked = true;
  startSharing();
  TestClient& client = streamingClient(kPhone);
  EXPECT_TRUE(presence_->awake);
  EXPECT_EQ(presence_->awakeHolds, 1);
  ASSERT_TRUE(waitFor(client, "notice"));
  EXPECT_EQ(client.find("notice")->message,
            "This Mac's screen is locked. Type your Mac password with the keyboard to unlock it.");
  ControlMessage restart = ControlMessage::make("stream");
  restart.restart = true;
  client.send(restart);
  ASSERT_TRUE(runUntil(main_, [&] { return client.count("streaming") == 2; }));
  pause();
  EXPECT_EQ(presence_->awakeRequests, 1);  // held once per session
  client.send(ControlMessage::make("disconnect"));
  ASSERT_TRUE(waitClosed(client));
  EXPECT_EQ(presence_->awakeHolds, 0);
}

}  // namespace
}  // namespace quorvanta::test
