// Streaming sessions through the host model: a real screen streamer and video pipeline over a
// scripted capture service and encoder, real TLS clients, recorded input and clipboard.

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
constexpr DisplayID kMain = 69;
constexpr DisplayID kSide = 70;

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

class MemoryClipboard : public Clipboard {
 public:
  std::optional<std::string> readText(std::chrono::milliseconds) override {
    std::lock_guard guard(lock_);
    return text_;
  }
  void setText(std::string text) override {
    std::lock_guard guard(lock_);
    text_ = std::move(text);
  }

 private:
  std::mutex lock_;
  std::optional<std::string> text_;
};

// A clipboard whose owner answers only when the test lets it, within the read's limit.
class StalledClipboard : public Clipboard {
 public:
  std::optional<std::string> readText(std::chrono::milliseconds limit) override {
    std::unique_lock guard(lock_);
    ++reads_;
    changed_.notify_all();
    changed_.wait_for(guard, limit, [&] { return released_; });
    return text_;
  }
  void setText(std::string text) override {
    std::lock_guard guard(lock_);
    text_ = std::move(text);
  }
  void release() {
    std::lock_guard guard(lock_);
    released_ = true;
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
  bool released_ = false;
  int reads_ = 0;
};

class HostSessionTest : public HostModelFixture {
 protected:
  HostSessionTest() {
    service_->content.displays = {{kMain, 1920, 1080}, {kSide, 1280, 1024}};
    service_->names = {{kMain, "Studio Display"}};
    environment_->streamer = ScreenStreamer::create(service_, std::make_unique<FakeVideoEncoder>());
    environment_->sink = sink_;
    environment_->clipboardService = clipboard_;
  }

  // Pairs a device and leaves its client admitted.
  TestClient& admitted(const std::string& deviceID = kPhone) {
    auto [client, token] = pair(deviceID, "Phone");
    tokens_[deviceID] = token;
    return *client;
  }
  TestClient& reconnect(const std::string& deviceID = kPhone) {
    TestClient& client = connect();
    client.send(authenticateMessage(hostID(), deviceID, tokens_[deviceID]));
    EXPECT_TRUE(waitFor(client, "hello"));
    return client;
  }
  std::size_t count(TestClient& client, const std::string& type) {
    std::size_t result = 0;
    for (const auto& message : client.messages())
      result += message.type == type ? 1u : 0u;
    return result;
  }
  bool streaming(TestClient& client, std::size_t times = 1) {
    return runUntil(main_, [&] { return count(client, "streaming") >= times; });
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
  std::shared_ptr<MemoryClipboard> clipboard_ = std::make_shared<MemoryClipboard>();
  std::map<std::string, std::string> tokens_;
};

TEST_F(HostSessionTest, StreamClampsItsSettingsAndAnnouncesTheDisplays) {
  startSharing();
  TestClient& client = admitted();
  ControlMessage stream = ControlMessage::make("stream");
  stream.fps = 5;
  stream.maxWidth = 5000;
  client.send(stream);
  ASSERT_TRUE(streaming(client));

  const auto permissions = client.find("permissions");
  ASSERT_TRUE(permissions);
  EXPECT_EQ(permissions->controlAllowed, false);
  const auto announced = *client.find("streaming");
  EXPECT_EQ(announced.displayID, kMain);
  EXPECT_EQ(announced.width, 1920);
  EXPECT_EQ(announced.height, 1080);
  ASSERT_TRUE(announced.displays);
  EXPECT_EQ(announced.displays->size(), 2u);
  EXPECT_EQ(announced.displays->at(0).name, "Studio Display");
  EXPECT_EQ(announced.displays->at(1).name, "Display 70");
  EXPECT_TRUE(model_->streamReady());
  const auto configuration = service_->streams().back()->configuration();
  EXPECT_EQ(configuration.fps, 10);
  EXPECT_EQ(configuration.width, 1920);  // 3840 allowed, never enlarged
}

TEST_F(HostSessionTest, OnlyTheLatestOfTwoQuickStreamsAttaches) {
  startSharing();
  TestClient& client = admitted();
  // Listing the displays takes a moment, so the second request always arrives while the first
  // capture task still waits.
  service_->contentBehavior = quorvanta::testing::Behavior::delayed(std::chrono::milliseconds(400));
  ControlMessage first = ControlMessage::make("stream");
  ControlMessage second = ControlMessage::make("stream");
  second.displayID = kSide;
  client.send(first);
  client.send(second);
  ASSERT_TRUE(streaming(client));
  runUntil(
      main_, [] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(count(client, "streaming"), 1u);
  EXPECT_EQ(client.find("streaming")->displayID, kSide);
}

TEST_F(HostSessionTest, ADroppedDeviceResumesItsWarmCaptureAndOthersEndIt) {
  startSharing();
  TestClient& first = admitted();
  first.send(ControlMessage::make("stream"));
  ASSERT_TRUE(streaming(first));
  deliverFrame();
  const std::size_t streams = service_->streams().size();

  first.close();
  ASSERT_TRUE(runUntil(main_, [&] { return model_->warmDeviceID() == std::optional<std::string>(kPhone); }));
  EXPECT_EQ(model_->state().status, "Connection dropped \u00b7 display held 30 s for a quick return");

  TestClient& back = reconnect();
  back.send(ControlMessage::make("stream"));
  ASSERT_TRUE(streaming(back));
  EXPECT_EQ(service_->streams().size(), streams) << "resumed, not restarted";
  EXPECT_EQ(back.find("permissions"), std::nullopt);

  // With restart the capture starts afresh.
  ControlMessage restart = ControlMessage::make("stream");
  restart.restart = true;
  back.send(restart);
  ASSERT_TRUE(streaming(back, 2));
  EXPECT_EQ(service_->streams().size(), streams + 1);

  // Another device's admission ends a warm capture at once.
  deliverFrame();
  back.close();
  ASSERT_TRUE(runUntil(main_, [&] { return model_->warmDeviceID().has_value(); }));
  admitted(kTablet);
  EXPECT_EQ(model_->warmDeviceID(), std::nullopt);
  EXPECT_TRUE(runUntil(main_, [&] { return service_->streams().back()->stopCalls() >= 1; }));
}

TEST_F(HostSessionTest, CaptureFailuresAreReportedAndTheSessionStays) {
  startSharing();
  TestClient& client = admitted();
  service_->startBehavior = quorvanta::testing::Behavior::fail("no screen today");
  client.send(ControlMessage::make("stream"));
  ASSERT_TRUE(waitFor(client, "hostUnavailable"));
  EXPECT_EQ(client.find("hostUnavailable")->message, "no screen today");
  EXPECT_FALSE(model_->streamReady());

  service_->startBehavior = {};
  client.send(ControlMessage::make("stream"));
  ASSERT_TRUE(streaming(client));
  service_->streams().back()->stopWithError("The display went away.");
  ASSERT_TRUE(runUntil(main_, [&] { return count(client, "hostUnavailable") == 2; }));
  EXPECT_FALSE(model_->streamReady());
  EXPECT_EQ(model_->activeDeviceID(), kPhone);
  EXPECT_FALSE(client.closed());
}

TEST_F(HostSessionTest, WithoutCaptureTheClientIsToldToAllowIt) {
  environment_->streamer.reset();
  startSharing();
  TestClient& client = admitted();
  client.send(ControlMessage::make("stream"));
  ASSERT_TRUE(waitFor(client, "hostPermission"));
  EXPECT_EQ(client.find("hostPermission")->message,
            "Allow Screen Recording for Quorvanta Host on the Mac, then reopen the host.");
}

TEST_F(HostSessionTest, WithoutCaptureTheClientGetsTheDesktopsOwnReason) {
  environment_->streamer.reset();
  environment_->refusal = "Log in to another session.";
  startSharing();
  TestClient& client = admitted();
  client.send(ControlMessage::make("stream"));
  ASSERT_TRUE(waitFor(client, "hostPermission"));
  EXPECT_EQ(client.find("hostPermission")->message, "Log in to another session.");
}

TEST_F(HostSessionTest, InputAndClipboardNeedControlAndAStream) {
  startSharing();
  model_->setControlEnabled(true);
  TestClient& client = admitted();
  ControlMessage key = ControlMessage::make("input");
  key.event = "key";
  key.keyCode = 0;
  key.keyDown = true;
  client.send(key);  // before streaming: dropped
  ControlMessage paste = ControlMessage::make("clipboard");
  paste.text = "early";
  client.send(paste);
  client.send(ControlMessage::make("clipboardRequest"));
  ASSERT_TRUE(waitFor(client, "notice"));
  EXPECT_EQ(client.find("notice")->message, "Allow remote control in Quorvanta Host to copy from the Mac.");
  EXPECT_TRUE(sink_->events().empty());
  EXPECT_EQ(clipboard_->readText({}), std::nullopt);

  client.send(ControlMessage::make("stream"));
  ASSERT_TRUE(streaming(client));
  EXPECT_EQ(client.find("streaming")->controlAllowed, true);
  client.send(key);
  paste.text = "from the phone";
  paste.event = "paste";
  client.send(paste);
  ASSERT_TRUE(runUntil(main_, [&] { return sink_->events().size() == 3; }));
  EXPECT_EQ(std::get<KeyEvent>(sink_->events()[0]), (KeyEvent{0, true, 0}));
  EXPECT_EQ(std::get<KeyEvent>(sink_->events()[1]), (KeyEvent{9, true, 0x100000}));
  EXPECT_EQ(clipboard_->readText({}), "from the phone");

  // Held keys are let go when control is switched off.
  model_->setControlEnabled(false);
  ASSERT_TRUE(waitFor(client, "permissions"));
  const auto events = sink_->events();
  EXPECT_EQ(std::get<KeyEvent>(events.back()), (KeyEvent{0, false, 0}));
}

TEST_F(HostSessionTest, AFloodOfClipboardRequestsMakesOneReadAndNothingIsSentAfterControlEnds) {
  auto stalled = std::make_shared<StalledClipboard>();
  environment_->clipboardService = stalled;
  startSharing();
  model_->setControlEnabled(true);
  TestClient& client = admitted();
  client.send(ControlMessage::make("stream"));
  ASSERT_TRUE(streaming(client));
  for (int index = 0; index < 100; ++index)
    client.send(ControlMessage::make("clipboardRequest"));
  ASSERT_TRUE(runUntil(main_, [&] { return stalled->reads() == 1; }));

  // Copied after the person switched control off: it must not leave the machine.
  model_->setControlEnabled(false);
  stalled->setText("copied after control ended");
  stalled->release();
  ASSERT_TRUE(waitFor(client, "notice"));
  // The read comes back at once once released; give its answer the time to arrive.
  runUntil(
      main_, [] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(client.find("notice")->message, "Allow remote control in Quorvanta Host to copy from the Mac.");
  EXPECT_FALSE(client.find("clipboard"));
  EXPECT_EQ(stalled->reads(), 1);
}

TEST_F(HostSessionTest, LargeClipboardTextsAreCutToFitOneMessage) {
  startSharing();
  model_->setControlEnabled(true);
  TestClient& client = admitted();
  client.send(ControlMessage::make("stream"));
  ASSERT_TRUE(streaming(client));

  // 100,000 characters are cut to 60,000, whose message (with its JSON around the text) is
  // still too long, and so shrinks by a quarter once.
  clipboard_->setText(std::string(100'000, 'a'));
  client.send(ControlMessage::make("clipboardRequest"));
  ASSERT_TRUE(waitFor(client, "clipboard"));
  const auto letters = client.find("clipboard")->text.value_or("");
  EXPECT_EQ(letters.size(), 45'000u);
  EXPECT_EQ(letters.find_first_not_of('a'), std::string::npos);

  clipboard_->setText(std::string(60'000, '"'));
  client.send(ControlMessage::make("clipboardRequest"));
  ASSERT_TRUE(runUntil(main_, [&] { return count(client, "clipboard") == 2; }));
  const auto quotes = client.messages().back();
  ASSERT_TRUE(quotes.text);
  EXPECT_GT(quotes.text->size(), 20'000u);
  EXPECT_EQ(quotes.text->find_first_not_of('"'), std::string::npos);
  EXPECT_LE(encodeControlMessage(quotes)->size(), 60'000u);
}

TEST_F(HostSessionTest, AnInviteFromTheClientInSessionGetsTheNewLink) {
  startSharing();
  TestClient& client = admitted();
  client.send(ControlMessage::make("invite"));
  ASSERT_TRUE(waitFor(client, "notice"));
  EXPECT_EQ(client.find("notice")->message,
            "Allow remote control in Quorvanta Host to pair another device from here.");

  model_->setControlEnabled(true);
  client.send(ControlMessage::make("stream"));
  ASSERT_TRUE(streaming(client));
  client.send(ControlMessage::make("invite"));
  ASSERT_TRUE(waitFor(client, "invitation"));
  EXPECT_EQ(client.find("invitation")->text, model_->state().invitation->url());
}

}  // namespace
}  // namespace quorvanta::test
