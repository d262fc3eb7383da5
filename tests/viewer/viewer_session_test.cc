// The viewer's session against a scripted host on loopback.

#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include "tools/client/client_test_host.h"
#include "viewer/viewer_session.h"

namespace quorvanta::viewer {
namespace {

using client::hostIdentity;
using client::kHostID;
using client::ScriptedHost;

// The events a session reported, waited for with a bound.
class Recorder {
 public:
  void add(const SessionEvent& event) {
    {
      std::lock_guard guard(lock_);
      events_.push_back(event);
    }
    changed_.notify_all();
  }
  bool waitFor(const std::function<bool(const std::vector<SessionEvent>&)>& condition) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return condition(events_); });
  }
  bool waitForMessage(const std::string& type, std::size_t count = 1) {
    return waitFor([&](const auto& events) {
      return std::size_t(std::count_if(events.begin(), events.end(), [&](const SessionEvent& e) {
               return e.kind == SessionEvent::Kind::message && e.message.type == type;
             })) >= count;
    });
  }
  std::vector<SessionEvent> events() {
    std::lock_guard guard(lock_);
    return events_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<SessionEvent> events_;
};

client::ClientState hostAt(std::uint16_t port, std::string token = "stored-token") {
  return {"6F1C2D3E-4A5B-4C6D-8E7F-0123456789AB",
          "Test viewer",
          kHostID,
          std::move(token),
          certificateSha256Hex(hostIdentity().certificate.get()),
          "127.0.0.1",
          port};
}

std::vector<ControlMessage> ofType(const std::vector<ControlMessage>& messages, const std::string& type) {
  std::vector<ControlMessage> result;
  for (const auto& message : messages)
    if (message.type == type) result.push_back(message);
  return result;
}

bool waitUntil(const std::function<bool()>& condition) {
  for (int i = 0; i < 400 && !condition(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  return condition();
}

StreamRequest streamOf(std::optional<std::uint32_t> displayID, std::int64_t maxWidth) {
  StreamRequest request;
  request.displayID = displayID;
  request.maxWidth = maxWidth;
  return request;
}

ViewerSession::Options pairing(std::string secret) {
  ViewerSession::Options options;
  options.secret = std::move(secret);
  return options;
}

ViewerSession::Handlers recording(Recorder& recorder) {
  return {[&recorder](const SessionEvent& event) { recorder.add(event); }, {}, {}};
}

TEST(ViewerSessionTest, PairsAnnouncingItsFeaturesThenAsksForTheStream) {
  ScriptedHost host([](PacketConnection& connection, const ControlMessage& message) {
    if (message.type == "pair") {
      connection.send(client::pairedMessage());
      connection.send(ControlMessage::make("hello"));
    } else if (message.type == "stream") {
      connection.send(client::streamingMessage());
    }
  });
  Recorder recorder;
  ViewerSession session(hostAt(host.port(), ""), recording(recorder), pairing("invitation-secret"));
  session.requestStream(streamOf(std::nullopt, 1280));
  session.start();
  ASSERT_TRUE(recorder.waitForMessage("streaming"));

  const auto received = host.received();
  ASSERT_EQ(ofType(received, "pair").size(), 1u);
  const auto pair = ofType(received, "pair")[0];
  EXPECT_EQ(pair.secret, "invitation-secret");
  EXPECT_EQ(pair.deviceName, "Test viewer");
  EXPECT_EQ(pair.features, (std::vector<std::string>{"frameAck", "warmResume"}));
  const auto stream = ofType(received, "stream");
  ASSERT_EQ(stream.size(), 1u);
  EXPECT_EQ(stream[0].maxWidth, 1280);
  EXPECT_FALSE(stream[0].restart);

  // A resize asks again; the same request does not.
  session.requestStream(streamOf(std::nullopt, 1280));
  session.requestStream(streamOf(std::nullopt, 1600));
  ASSERT_TRUE(recorder.waitForMessage("streaming", 2));
  EXPECT_EQ(ofType(host.received(), "stream").size(), 2u);
  EXPECT_EQ(ofType(host.received(), "stream")[1].maxWidth, 1600);
}

TEST(ViewerSessionTest, ADroppedConnectionReconnectsAndAsksForTheSameStream) {
  ScriptedHost host([](PacketConnection& connection, const ControlMessage& message) {
    if (message.type == "authenticate") connection.send(ControlMessage::make("hello"));
    if (message.type == "stream") connection.send(client::streamingMessage());
  });
  Recorder recorder;
  ViewerSession session(hostAt(host.port()), recording(recorder), {});
  session.requestStream(streamOf(7, 1920));
  session.start();
  ASSERT_TRUE(recorder.waitForMessage("streaming"));
  host.connections().front()->cancel();

  ASSERT_TRUE(recorder.waitForMessage("streaming", 2));
  const auto events = recorder.events();
  const auto drop = std::find_if(events.begin(), events.end(), [](const SessionEvent& e) {
    return e.kind == SessionEvent::Kind::disconnected;
  });
  ASSERT_NE(drop, events.end());
  EXPECT_EQ(drop->retryIn, std::chrono::seconds(1));
  const auto authentications = ofType(host.received(), "authenticate");
  ASSERT_EQ(authentications.size(), 2u);
  EXPECT_EQ(authentications[1].token, "stored-token");
  EXPECT_FALSE(authentications[1].takeover);
  const auto streams = ofType(host.received(), "stream");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0], streams[1]) << "the same settings let the host resume warm";
}

TEST(ViewerSessionTest, BusyWaitsForTakeOver) {
  std::atomic<int> attempts = 0;
  ScriptedHost host([&](PacketConnection& connection, const ControlMessage& message) {
    if (message.type != "authenticate") return;
    if (++attempts == 1) {
      auto busy = client::message("busy", "This Mac is in use by Phone.");
      busy.deviceName = "Phone";
      connection.finish(busy);
    } else {
      connection.send(ControlMessage::make("hello"));
    }
  });
  Recorder recorder;
  ViewerSession session(hostAt(host.port()), recording(recorder), {});
  session.start();
  ASSERT_TRUE(recorder.waitForMessage("busy"));
  ASSERT_TRUE(recorder.waitFor([](const auto& events) {
    return !events.empty() && events.back().kind == SessionEvent::Kind::disconnected;
  }));
  EXPECT_FALSE(recorder.events().back().retryIn) << "no reconnection after a refusal";

  session.takeOver();
  ASSERT_TRUE(recorder.waitForMessage("hello"));
  const auto authentications = ofType(host.received(), "authenticate");
  ASSERT_EQ(authentications.size(), 2u);
  EXPECT_EQ(authentications[1].takeover, true);
}

TEST(ViewerSessionTest, AnotherCertificateIsRefusedWithoutRetrying) {
  ScriptedHost host([](PacketConnection&, const ControlMessage&) {});
  auto state = hostAt(host.port());
  state.certificateHash = std::string(64, '0');
  Recorder recorder;
  ViewerSession session(state, recording(recorder), {});
  session.start();
  ASSERT_TRUE(recorder.waitFor([](const auto& events) {
    return !events.empty() && events.back().kind == SessionEvent::Kind::disconnected;
  }));
  EXPECT_EQ(recorder.events().back().text, "The host's certificate does not match the pairing link.");
  EXPECT_FALSE(recorder.events().back().retryIn);
  EXPECT_TRUE(waitUntil([&] { return host.received().empty(); }));
}

}  // namespace
}  // namespace quorvanta::viewer
