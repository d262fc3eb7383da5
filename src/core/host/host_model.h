#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>

#include "core/host/host_environment.h"
#include "core/host/host_settings.h"
#include "core/input/clipboard.h"
#include "core/input/input_controller.h"
#include "core/protocol/control_message.h"
#include "core/protocol/pairing_invitation.h"
#include "core/transport/packet_connection.h"
#include "core/transport/tls_listener.h"
#include "core/trust/device_registry.h"
#include "core/trust/host_identity.h"
#include "core/util/completion_signal.h"
#include "core/util/monotonic_clock.h"

namespace quorvanta {

// The values the panel and the tray show. A snapshot is published after every change, in order.
struct HostState {
  bool running = false;  // the listener is ready and sharing is live
  std::string address;   // the Tailscale IPv4 address, empty when unknown
  std::string status = "Sharing is off";
  std::optional<std::string> error;
  std::optional<PairingInvitation> invitation;
  std::vector<TrustedDevice> devices;
  std::optional<std::string> activeDevice;  // name of the device in session
  bool controlEnabled = false;
  bool curtainEnabled = false;
  bool loginEnabled = false;
  bool screenPermission = false;
  bool accessibilityPermission = false;
  // Which store holds the credentials, once they are loaded.
  std::optional<SecureStore::Kind> credentialStore;

  bool operator==(const HostState&) const = default;
};

// The settings of the capture a session started.
struct CaptureState {
  std::int64_t fps = 0;
  std::int64_t maxWidth = 0;
  std::int64_t bitrate = 0;
  RemoteDisplay selected;
  std::vector<RemoteDisplay> displays;
};

// Durations and clocks, replaceable in tests.
struct HostTimings {
  double tickInterval = 3;       // seconds between housekeeping ticks; 0: no timer
  double pendingLimit = 10;      // how long a connection may wait to authenticate
  double firstMessageLimit = 3;  // for the TLS handshake and the first control message
  double refusalDelay = 0.2;     // between a refusal and closing the connection
  double warmGrace = 30;         // how long a dropped device's capture is kept
  double silenceLimit = 20;      // a session without a control message for longer ends
  double addressRetryInterval = 10;
  double attemptWindow = 60;
  double attemptMemory = 120;
  double repeatedPairingWindow = 60;
  double invitationLifetime = 300;
  Clock monotonic = monotonicSeconds;      // seconds, for windows and deadlines
  Clock wallClock = wallSecondsSince2001;  // seconds since 2001-01-01 UTC, for expiry dates
};

// The centre of the host: the listener on the Tailscale address, admission of connections, the
// one active session, pairing and trusted devices, and the values the panel shows.
//
// Threads: the model lives on its main executor and every public function must be called there.
// Work from other threads (listener, connections, address lookups, timers) posts to it and holds
// the model weakly.
class HostModel : public std::enable_shared_from_this<HostModel> {
 public:
  using ConnectionID = std::uint64_t;
  using Observer = std::function<void(const HostState&)>;

  static constexpr std::size_t kMaxPending = 12;
  static constexpr std::size_t kMaxPendingPerPeer = 4;
  static constexpr int kMaxAttemptsPerWindow = 30;
  // Wrong secrets and tokens one peer address may send in one attempt window.
  static constexpr int kMaxFailuresPerWindow = 30;

  // Builds the model, loads credentials without prompting, starts the tick and looks up the
  // address; sharing starts when the stored switch says so. `transport` runs the listener and
  // the connections.
  static std::shared_ptr<HostModel> create(asio::any_io_executor main, asio::any_io_executor transport,
                                           std::shared_ptr<HostEnvironment> environment,
                                           HostSettings settings, HostTimings timings = {},
                                           std::uint16_t port = kHostPort);
  ~HostModel();
  HostModel(const HostModel&) = delete;
  HostModel& operator=(const HostModel&) = delete;

  // Published values. The observer gets the current state at once and then every change.
  const HostState& state() const { return state_; }
  void setObserver(Observer observer);

  void start();
  void stop(bool preserveIntent);
  // Looks the address up again on a background thread; `done` runs on the main executor after
  // it has been published.
  void refreshAddress(std::function<void()> done = {});
  void tick();
  void endSession(bool cancelConnection, bool keepCaptureWarm);

  void setControlEnabled(bool enabled);
  void setCurtainEnabled(bool enabled);
  // The screens were added, removed or moved: the curtain covers the new set.
  void screensChanged();

  // Pairing and devices. The operations that can fail also publish the failure in `error`; they
  // return its sentence, or nothing on success.
  std::optional<std::string> makeInvitation();
  void cancelInvitation();
  std::optional<std::string> revoke(const std::string& deviceID);
  void loadCredentials(bool allowInteraction);
  std::optional<std::string> setLogin(bool enabled);
  // Returns the sentence that tells the user what was done.
  std::string requestScreenRecording();

  // Connections, normally from the listener.
  void accept(PacketConnection::TlsStream stream);
  void handle(const ControlMessage& message, const std::shared_ptr<PacketConnection>& channel,
              ConnectionID id);

  bool hostEnabled() const { return settings_.hostEnabled(); }
  bool listening() const { return listener_ != nullptr; }
  std::size_t pendingCount() const { return pending_.size(); }
  std::int64_t sessionEpoch() const { return sessionEpoch_; }
  bool streamReady() const { return streamReady_; }
  bool curtainLiftedLocally() const { return curtainLiftedLocally_; }
  bool keepingAwake() const { return awake_ != nullptr; }
  const std::optional<std::string>& activeDeviceID() const { return activeDeviceID_; }
  const std::set<std::string>& activeFeatures() const { return activeFeatures_; }
  const std::optional<std::string>& warmDeviceID() const { return warmDeviceID_; }
  std::size_t attemptRecords() const { return attempts_.size(); }
  const std::optional<HostIdentity>& identity() const { return identity_; }

 private:
  struct Attempts {
    double windowStart = 0;
    int count = 0;
    int failures = 0;  // wrong secrets and tokens in this window
  };
  // What a "stream" asks for, and which session and epoch the capture task belongs to.
  struct StreamRequest {
    std::int64_t fps = 0;
    std::int64_t maxWidth = 0;
    std::int64_t bitrate = 0;
    std::optional<std::uint32_t> displayID;
    bool acknowledged = false;
    ConnectionID id = 0;
    std::int64_t epoch = 0;
    std::weak_ptr<PacketConnection> channel;
  };
  struct RecentPairing {
    std::string secretHash;
    std::string deviceID;
    std::string token;
    double expiresAt = 0;
  };

  HostModel(asio::any_io_executor main, asio::any_io_executor transport,
            std::shared_ptr<HostEnvironment> environment, HostSettings settings, HostTimings timings,
            std::uint16_t port);
  void initialize();

  // Runs `action` on the main executor after `seconds` if the model still exists.
  void after(double seconds, std::function<void(HostModel&)> action);
  void scheduleTick();
  void publish();
  // Stores a switch; a failure to write is shown as the error, the value stays in memory.
  void storeSetting(std::string_view key, bool value);
  void storeHostEnabled(bool enabled);
  void applyListenerState(const TlsListener::State& state);

  // Admission.
  void handlePending(const ControlMessage& message, const std::shared_ptr<PacketConnection>& channel,
                     ConnectionID id);
  void admit(const ControlMessage& message, const std::shared_ptr<PacketConnection>& channel,
             ConnectionID id);
  void reject(const std::shared_ptr<PacketConnection>& channel, const std::string& type,
              const std::string& text);
  void closeLater(const std::shared_ptr<PacketConnection>& channel);
  void forgetPending(ConnectionID id);
  // Makes room for one more pending connection by closing the oldest one that has said nothing.
  bool evictSilentPending();
  bool peerOnTailnet(const std::string& peer) const;
  // Counts a wrong secret or token against the peer of `id`; false once the peer has used up
  // its failures for this window.
  bool mayTryCredentials(ConnectionID id) const;
  void countFailure(ConnectionID id);
  std::optional<std::string> deviceName(const std::string& deviceID) const;

  // The active session.
  void handleActive(const ControlMessage& message, const std::shared_ptr<PacketConnection>& channel);
  void shareInvitation(const std::shared_ptr<PacketConnection>& channel);
  void notice(const std::shared_ptr<PacketConnection>& channel, const std::string& text);
  bool controlAllowed();

  // Streaming. Capture tasks run on the main executor one after the other; each checks after
  // every wait that its session and epoch are still current.
  StreamRequest streamRequest(const ControlMessage& message) const;
  void beginStream(const ControlMessage& message, const std::shared_ptr<PacketConnection>& channel,
                   ConnectionID id);
  bool current(const StreamRequest& request) const;
  static asio::awaitable<void> captureStart(std::weak_ptr<HostModel> weak,
                                            std::shared_ptr<ScreenStreamer> screen,
                                            std::shared_ptr<CompletionSignal> previous,
                                            std::shared_ptr<CompletionSignal> done, StreamRequest request);
  static asio::awaitable<void> captureStop(std::shared_ptr<ScreenStreamer> screen,
                                           std::shared_ptr<CompletionSignal> previous,
                                           std::shared_ptr<CompletionSignal> done);
  static asio::awaitable<void> wakeDisplays(std::weak_ptr<HostModel> weak);
  static void hostUnavailable(const std::weak_ptr<PacketConnection>& channel, const std::string& message);
  void stopCapture();
  void captureFailed(const std::string& message);
  void detachVideoSink();
  void sendStreaming(const CaptureState& capture, const std::shared_ptr<PacketConnection>& channel);

  // Input, clipboard and presence.
  void handleInput(const ControlMessage& message);
  void releaseInput();
  void setInputDisplay(std::uint32_t displayID);
  void receiveClipboard(const ControlMessage& message);
  void sendClipboard(const std::shared_ptr<PacketConnection>& channel);

  // The curtain and presence at the computer's end.
  bool curtainWanted() const;
  void applyCurtain();
  static asio::awaitable<void> curtainTask(std::weak_ptr<HostModel> weak,
                                           std::shared_ptr<ScreenStreamer> screen,
                                           std::shared_ptr<CompletionSignal> previous,
                                           std::shared_ptr<CompletionSignal> done, std::int64_t generation,
                                           std::vector<std::uint32_t> windows);
  void watchLocalInput();
  void keepAwake();
  bool screenLocked() const;
  bool displaysAwake() const;

  asio::any_io_executor main_;
  asio::any_io_executor transport_;
  std::shared_ptr<HostEnvironment> environment_;
  HostSettings settings_;
  HostTimings timings_;
  std::uint16_t port_;

  HostState state_;
  std::optional<HostState> published_;
  Observer observer_;

  std::optional<HostIdentity> identity_;
  std::optional<DeviceRegistry> registry_;
  std::unique_ptr<TlsListener> listener_;
  ConnectionID nextConnectionID_ = 1;
  std::map<ConnectionID, std::shared_ptr<PacketConnection>> pending_;
  std::map<ConnectionID, std::string> pendingPeers_;
  // Pending connections that have sent a message, and those that were refused: a refused
  // connection has nothing more evaluated until it closes.
  std::set<ConnectionID> spoken_;
  std::set<ConnectionID> refused_;
  // The address the current listener is bound to, and a count that tells its reports from those
  // of listeners already closed.
  std::string listenAddress_;
  std::uint64_t listenerGeneration_ = 0;
  std::shared_ptr<PacketConnection> active_;
  std::optional<ConnectionID> activeID_;
  std::optional<std::string> activeDeviceID_;
  std::set<std::string> activeFeatures_;
  std::int64_t sessionEpoch_ = 0;
  std::optional<CaptureState> capture_;
  std::optional<std::string> warmDeviceID_;
  std::uint64_t warmToken_ = 0;
  std::shared_ptr<ScreenStreamer> screen_;
  std::shared_ptr<CompletionSignal> captureTask_;  // the latest capture start or stop
  std::unique_ptr<InputController> input_;
  std::shared_ptr<Clipboard> clipboard_;
  std::shared_ptr<PresenceService> presence_;
  std::shared_ptr<PrivacyCurtain> curtain_;
  std::shared_ptr<CompletionSignal> curtainTask_;  // the latest curtain change
  std::int64_t curtainGeneration_ = 0;
  bool curtainLiftedLocally_ = false;
  std::unique_ptr<PresenceHold> localInputWatch_;
  std::unique_ptr<PresenceHold> awake_;  // idle-sleep holds while a session streams
  double lastMessage_ = 0;
  std::map<std::string, Attempts> attempts_;
  std::optional<double> lastAddressRefresh_;
  bool refreshingAddress_ = false;
  bool streamReady_ = false;
  std::optional<RecentPairing> recentPairing_;
  // The session whose clipboard read is under way, if any.
  std::optional<ConnectionID> clipboardReadFor_;

  asio::steady_timer tickTimer_;
  // Runs the blocking address lookups.
  asio::thread_pool lookups_{1};
  // Runs clipboard reads, which wait for the clipboard's owner.
  asio::thread_pool background_{1};
};

}  // namespace quorvanta
