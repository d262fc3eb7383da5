#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include "core/host/host_model.h"
#include "core/host/host_settings.h"
#include "core/transport/tls_context.h"
#include "core/trust/host_identity.h"
#include "host_test_directory.h"
#include "support/fake_secure_store.h"
#include "support/test_tls.h"

namespace quorvanta::test {

// Desktop services for a host model under test: an in-memory store, a chosen address, no capture.
class FakeHostEnvironment : public HostEnvironment {
 public:
  explicit FakeHostEnvironment(std::filesystem::path directory) : directory_(std::move(directory)) {}

  SecureStore& secureStore() override { return store; }
  std::filesystem::path credentialsDirectory() override { return directory_; }
  std::string lookupTailscaleAddress() override {
    std::lock_guard guard(lock_);
    ++lookups_;
    return address_;
  }
  bool screenCaptureAllowed() override { return true; }
  bool inputInjectionAllowed() override { return true; }
  std::string requestScreenCapture() override { return "nothing to grant"; }
  std::string captureRefusal() override { return refusal; }
  std::string computerName() override { return "Test Computer"; }
  bool loginItemEnabled() override { return false; }
  void setLoginItemEnabled(bool) override {}
  std::shared_ptr<ScreenStreamer> screenStreamer() override { return streamer; }
  std::shared_ptr<InputEventSink> inputSink() override { return sink; }
  DisplayRect displayBounds(DisplayID) override { return {0, 0, 1920, 1080}; }
  std::shared_ptr<Clipboard> clipboard() override { return clipboardService; }
  std::shared_ptr<PresenceService> presence() override { return presenceService; }
  std::shared_ptr<PrivacyCurtain> curtain() override { return curtainWindows; }

  void setAddress(std::string address) {
    std::lock_guard guard(lock_);
    address_ = std::move(address);
  }
  int lookups() {
    std::lock_guard guard(lock_);
    return lookups_;
  }

  FakeSecureStore store;
  std::string refusal;
  std::shared_ptr<PresenceService> presenceService;
  std::shared_ptr<PrivacyCurtain> curtainWindows;
  std::shared_ptr<ScreenStreamer> streamer;
  std::shared_ptr<InputEventSink> sink;
  std::shared_ptr<Clipboard> clipboardService;

 private:
  std::filesystem::path directory_;
  std::mutex lock_;
  std::string address_;
  int lookups_ = 0;
};

// A clock the test moves by hand.
struct ManualClock {
  std::shared_ptr<double> now = std::make_shared<double>(1000.0);
  Clock clock() const {
    return [now = now] { return *now; };
  }
  void advance(double seconds) const { *now += seconds; }
};

// A client connection to the host under test, recording what it receives.
class TestClient {
 public:
  TestClient(asio::io_context& io, const std::string& certificateHash);
  ~TestClient();

  // Connects to `address`:`port`, optionally from `localAddress`. Once only.
  void connect(const std::string& address, std::uint16_t port, const std::string& localAddress = "");
  void send(const ControlMessage& message);
  void close();

  std::vector<ControlMessage> messages();
  std::optional<ControlMessage> find(const std::string& type);
  std::size_t count(const std::string& type);
  bool closed();

 private:
  asio::io_context& io_;
  std::shared_ptr<asio::ssl::context> tls_;
  std::shared_ptr<PacketConnection> connection_;
  std::mutex lock_;
  std::vector<ControlMessage> messages_;
  bool closed_ = false;
};

// A free TCP port on 127.0.0.1 at the moment of the call.
std::uint16_t freeLoopbackPort();

// Runs `main` until `condition` holds or `limit` passes; returns whether it held.
bool runUntil(asio::io_context& main, const std::function<bool()>& condition,
              std::chrono::milliseconds limit = std::chrono::seconds(10));

ControlMessage pairMessage(const std::string& hostID, const std::string& deviceID, const std::string& secret,
                           const std::string& deviceName = "Phone");
ControlMessage authenticateMessage(const std::string& hostID, const std::string& deviceID,
                                   const std::string& token);

// A host model with fake desktop services on 127.0.0.1, clocks moved by hand, and test clients.
class HostModelFixture : public ::testing::Test {
 protected:
  HostModelFixture() : environment_(std::make_shared<FakeHostEnvironment>(directory_.path() / "data")) {}

  ~HostModelFixture() override {
    clients_.clear();
    model_.reset();
    transport_.stop();
    clientIo_.stop();
  }

  void makeModel(const std::string& address, HostTimings timings = {}) {
    environment_->setAddress(address);
    timings.tickInterval = 0;
    timings.monotonic = monotonic_.clock();
    timings.wallClock = wall_.clock();
    port_ = freeLoopbackPort();
    model_ = HostModel::create(main_.get_executor(), transport_.context().get_executor(), environment_,
                               HostSettings(settingsPath()), timings, port_);
    // The first address lookup runs at construction.
    ASSERT_TRUE(
        runUntil(main_, [&] { return environment_->lookups() >= 1 && model_->state().address == address; }));
  }

  void startSharing(HostTimings timings = {}) {
    makeModel(hostAddress_, std::move(timings));
    model_->start();
    ASSERT_TRUE(runUntil(main_, [&] { return model_->state().running; }));
  }

  std::filesystem::path settingsPath() const { return directory_.path() / "host.conf"; }
  bool storedHostEnabled() const { return HostSettings(settingsPath()).hostEnabled(); }
  const std::string& hostID() const { return model_->identity()->hostID(); }

  TestClient& connect(const std::string& from = "") {
    clients_.push_back(
        std::make_unique<TestClient>(clientIo_.context(), model_->identity()->certificateHash()));
    clients_.back()->connect(hostAddress_, port_, from);
    return *clients_.back();
  }

  bool waitFor(TestClient& client, const std::string& type) {
    return runUntil(main_, [&] { return client.find(type).has_value(); });
  }
  bool waitClosed(TestClient& client) {
    return runUntil(main_, [&] { return client.closed(); });
  }
  // Lets the host work for `time` without waiting for anything in particular.
  void pause(std::chrono::milliseconds time = std::chrono::milliseconds(250)) {
    runUntil(
        main_, [] { return false; }, time);
  }
  // Pairs `deviceID` and asks for a stream; returns the client once it streams.
  TestClient& streamingClient(const std::string& deviceID) {
    TestClient* client = pair(deviceID, "Phone").first;
    client->send(ControlMessage::make("stream"));
    EXPECT_TRUE(waitFor(*client, "streaming"));
    return *client;
  }
  // Connects again as `deviceID` with the token it was last paired with.
  TestClient& reconnect(const std::string& deviceID) {
    TestClient& client = connect();
    client.send(authenticateMessage(hostID(), deviceID, tokens_[deviceID]));
    EXPECT_TRUE(waitFor(client, "hello"));
    return client;
  }

  // Pairs `deviceID` through a fresh invitation; returns the client, admitted, and its token.
  std::pair<TestClient*, std::string> pair(const std::string& deviceID, const std::string& name) {
    EXPECT_EQ(model_->makeInvitation(), std::nullopt);
    TestClient& client = connect();
    client.send(pairMessage(hostID(), deviceID, model_->state().invitation->secret, name));
    EXPECT_TRUE(waitFor(client, "hello"));
    const auto paired = client.find("paired");
    tokens_[deviceID] = paired && paired->token ? *paired->token : "";
    return {&client, tokens_[deviceID]};
  }

  // The address the host listens on and clients connect to.
  std::string hostAddress_ = "127.0.0.1";
  ScratchDirectory directory_;
  asio::io_context main_;
  IoThreads transport_{1};
  IoThreads clientIo_{1};
  ManualClock monotonic_;
  ManualClock wall_;
  std::shared_ptr<FakeHostEnvironment> environment_;
  std::shared_ptr<HostModel> model_;
  std::uint16_t port_ = 0;
  std::vector<std::unique_ptr<TestClient>> clients_;
  std::map<std::string, std::string> tokens_;
};

}  // namespace quorvanta::test
