// Admission of new connections: connection and attempt limits, authentication with a device token
// or a pairing secret, and the single active session.

#include <algorithm>

#include <asio/ip/address.hpp>
#include <asio/post.hpp>

#include "core/host/host_model.h"
#include "core/trust/secure_store.h"

namespace quorvanta {
namespace {

constexpr const char* kPairAgain = "Pair this device with the host again.";
constexpr const char* kNoLongerTrusted = "This device is no longer trusted. Pair it with the Mac again.";
constexpr const char* kCodeExpired =
    "The pairing code expired or was already used. Create a new code on the Mac.";
constexpr const char* kUnnamedDevice = "My device";

// The host part of the peer's endpoint, without the port.
std::string peerAddress(PacketConnection::TlsStream& stream) {
  std::error_code error;
  const auto endpoint = stream.lowest_layer().remote_endpoint(error);
  if (error) return "";
  return endpoint.address().to_string();
}

}  // namespace

bool HostModel::peerOnTailnet(const std::string& peer) const {
  // Linux takes packets for a local address on any interface, so a neighbour can reach the
  // listener from outside the tailnet; every limit below assumes tailnet addresses.
  if (!peer.empty() && peer == listenAddress_) return true;
  std::error_code error;
  const auto address = asio::ip::make_address(peer, error);
  if (error) return false;
  asio::ip::address_v4 v4;
  if (address.is_v4()) {
    v4 = address.to_v4();
  } else if (address.to_v6().is_v4_mapped()) {
    v4 = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  } else {
    return false;
  }
  return (v4.to_uint() & 0xFFC00000u) == 0x64400000u;  // 100.64.0.0/10
}

bool HostModel::evictSilentPending() {
  for (const auto& [id, connection] : pending_) {
    if (spoken_.contains(id)) continue;
    // Identifiers grow with every connection: the first silent one is the oldest.
    connection->cancel();
    forgetPending(id);
    return true;
  }
  return false;
}

void HostModel::accept(PacketConnection::TlsStream stream) {
  std::error_code ignored;
  std::string peer = peerAddress(stream);
  if (!peerOnTailnet(peer)) {
    stream.lowest_layer().close(ignored);
    return;
  }
  const auto samePeer = std::count_if(pendingPeers_.begin(), pendingPeers_.end(),
                                      [&](const auto& entry) { return entry.second == peer; });
  if (static_cast<std::size_t>(samePeer) >= kMaxPendingPerPeer) {
    stream.lowest_layer().close(ignored);
    return;
  }

  const double now = timings_.monotonic();
  Attempts record = attempts_.contains(peer) ? attempts_[peer] : Attempts{now, 0};
  if (now - record.windowStart > timings_.attemptWindow) {
    record = Attempts{now, 0};
  } else if (record.count >= kMaxAttemptsPerWindow) {
    stream.lowest_layer().close(ignored);
    return;
  }
  // Peers that connect and say nothing must not keep paired devices out: the oldest silent
  // connection makes room for a new one that passed the limits above.
  if (pending_.size() >= kMaxPending && !evictSilentPending()) {
    stream.lowest_layer().close(ignored);
    return;
  }
  record.count += 1;
  attempts_[peer] = record;

  const ConnectionID id = nextConnectionID_++;
  auto channel = PacketConnection::create(std::move(stream), PacketConnection::Role::server);
  pending_[id] = channel;
  pendingPeers_[id] = std::move(peer);

  const std::weak_ptr<HostModel> weak = weak_from_this();
  const std::weak_ptr<PacketConnection> weakChannel = channel;
  channel->setOnControl([weak, weakChannel, id, main = main_](ControlMessage message) {
    asio::post(main, [weak, weakChannel, id, message = std::move(message)] {
      const auto self = weak.lock();
      const auto connection = weakChannel.lock();
      if (!self || !connection) return;
      self->handle(message, connection, id);
      self->publish();
    });
  });
  channel->setOnClose([weak, id, main = main_](const std::optional<std::string>&) {
    asio::post(main, [weak, id] {
      const auto self = weak.lock();
      if (!self) return;
      self->forgetPending(id);
      // A dropped session keeps its capture warm for a quick return.
      if (self->activeID_ == id) self->endSession(false, true);
      self->publish();
    });
  });
  channel->start();

  after(timings_.firstMessageLimit, [id, weakChannel](HostModel& self) {
    if (!self.pending_.contains(id) || self.spoken_.contains(id)) return;
    if (const auto connection = weakChannel.lock()) connection->cancel();
    self.forgetPending(id);
  });
  after(timings_.pendingLimit, [id, weakChannel](HostModel& self) {
    if (!self.pending_.contains(id)) return;
    if (const auto connection = weakChannel.lock()) connection->cancel();
    self.forgetPending(id);
  });
}

void HostModel::forgetPending(ConnectionID id) {
  pending_.erase(id);
  pendingPeers_.erase(id);
  spoken_.erase(id);
  refused_.erase(id);
}

bool HostModel::mayTryCredentials(ConnectionID id) const {
  const auto peer = pendingPeers_.find(id);
  if (peer == pendingPeers_.end()) return false;
  const auto record = attempts_.find(peer->second);
  if (record == attempts_.end()) return true;
  const bool windowOver = timings_.monotonic() - record->second.windowStart > timings_.attemptWindow;
  return windowOver || record->second.failures < kMaxFailuresPerWindow;
}

void HostModel::countFailure(ConnectionID id) {
  const auto peer = pendingPeers_.find(id);
  if (peer == pendingPeers_.end()) return;
  const double now = timings_.monotonic();
  auto& record = attempts_[peer->second];
  if (now - record.windowStart > timings_.attemptWindow) record = Attempts{now, 0, 0};
  record.failures += 1;
}

void HostModel::handle(const ControlMessage& message, const std::shared_ptr<PacketConnection>& channel,
                       ConnectionID id) {
  if (activeID_ == id && active_ == channel) {
    handleActive(message, channel);
  } else {
    handlePending(message, channel, id);
  }
}

void HostModel::handlePending(const ControlMessage& message, const std::shared_ptr<PacketConnection>& channel,
                              ConnectionID id) {
  const auto entry = pending_.find(id);
  if (entry == pending_.end() || entry->second != channel) return;
  spoken_.insert(id);
  // After the first refusal nothing more from this connection is evaluated.
  if (refused_.contains(id)) return;
  if (!registry_ || !identity_) return;
  // Every outcome but admission, which forgets the connection, is a refusal.
  refused_.insert(id);

  if (message.type != "pair" && message.type != "authenticate")
    return reject(channel, "authRejected", kPairAgain);
  if (!message.deviceID || !isUuidText(*message.deviceID) || !message.hostID ||
      *message.hostID != identity_->hostID())
    return reject(channel, "authRejected", kPairAgain);
  const std::string& deviceID = *message.deviceID;

  if (message.type == "authenticate") {
    if (!message.token || !mayTryCredentials(id) || !registry_->accepts(deviceID, *message.token)) {
      countFailure(id);
      return reject(channel, "authRejected", kNoLongerTrusted);
    }
    return admit(message, channel, id);
  }

  if (!message.secret || !mayTryCredentials(id)) {
    countFailure(id);
    return reject(channel, "authRejected", kCodeExpired);
  }
  const std::string& secret = *message.secret;
  const double now = timings_.wallClock();
  std::string token;
  if (recentPairing_ && recentPairing_->deviceID == deviceID && recentPairing_->expiresAt > now &&
      constantTimeEqual(recentPairing_->secretHash, hash(secret))) {
    // The client lost the reply to its pairing and asks again with the same secret.
    token = recentPairing_->token;
  } else {
    const auto& invitation = state_.invitation;
    if (!invitation || invitation->expiresAt <= now || !constantTimeEqual(secret, invitation->secret)) {
      countFailure(id);
      return reject(channel, "authRejected", kCodeExpired);
    }
    try {
      token = randomToken();
      registry_->add(deviceID, message.deviceName.value_or(kUnnamedDevice), token);
    } catch (const std::exception& failure) {
      return reject(channel, "error", failure.what());
    }
    recentPairing_ = RecentPairing{hash(secret), deviceID, token, now + timings_.repeatedPairingWindow};
    state_.invitation.reset();
    state_.devices = registry_->devices();
  }

  ControlMessage paired = ControlMessage::make("paired");
  paired.hostID = identity_->hostID();
  paired.name = environment_->computerName();
  paired.token = token;
  channel->send(paired);
  admit(message, channel, id);
}

std::optional<std::string> HostModel::deviceName(const std::string& deviceID) const {
  if (!registry_) return std::nullopt;
  for (const auto& device : registry_->devices())
    if (device.id == deviceID) return device.name;
  return std::nullopt;
}

void HostModel::admit(const ControlMessage& message, const std::shared_ptr<PacketConnection>& channel,
                      ConnectionID id) {
  const std::string& deviceID = *message.deviceID;
  if (active_) {
    if (activeDeviceID_ == deviceID) {
      // The same device again, for example after a network change: the old connection goes and
      // the capture waits for the new one.
      endSession(true, true);
    } else if (message.takeover != true) {
      ControlMessage busy = ControlMessage::make("busy");
      busy.deviceName = state_.activeDevice;
      busy.message = "This Mac is in use by " + state_.activeDevice.value_or("another paired device") + ".";
      channel->send(busy);
      closeLater(channel);
      return;
    } else {
      const auto newName = deviceName(deviceID);
      ControlMessage takenOver = ControlMessage::make("takenOver");
      takenOver.deviceName = newName;
      takenOver.message = "Your session moved to " + newName.value_or("another device") + ".";
      active_->finish(takenOver);
      endSession(false, false);
    }
  }

  active_ = channel;
  activeID_ = id;
  activeDeviceID_ = deviceID;
  forgetPending(id);
  activeFeatures_.clear();
  if (message.features) activeFeatures_.insert(message.features->begin(), message.features->end());
  if (warmDeviceID_ && *warmDeviceID_ != deviceID) {
    // A warm capture belongs to its own device only.
    warmDeviceID_.reset();
    stopCapture();
  }
  state_.activeDevice = deviceName(deviceID);
  lastMessage_ = timings_.monotonic();
  state_.status = "Connected to " + state_.activeDevice.value_or("your device");

  ControlMessage hello = ControlMessage::make("hello");
  hello.hostID = identity_->hostID();
  hello.controlAllowed = controlAllowed();
  hello.features = std::vector<std::string>{kFeatureFrameAck, kFeatureWarmResume};
  channel->send(hello);
}

void HostModel::reject(const std::shared_ptr<PacketConnection>& channel, const std::string& type,
                       const std::string& text) {
  ControlMessage refusal = ControlMessage::make(type);
  refusal.message = text;
  channel->send(refusal);
  closeLater(channel);
}

void HostModel::closeLater(const std::shared_ptr<PacketConnection>& channel) {
  channel->stopReading();
  // The connection stays pending until it closes; its close handler then forgets it.
  after(timings_.refusalDelay, [weakChannel = std::weak_ptr<PacketConnection>(channel)](HostModel&) {
    if (const auto connection = weakChannel.lock()) connection->cancel();
  });
}

void HostModel::notice(const std::shared_ptr<PacketConnection>& channel, const std::string& text) {
  ControlMessage notice = ControlMessage::make("notice");
  notice.message = text;
  channel->send(notice);
}

}  // namespace quorvanta
