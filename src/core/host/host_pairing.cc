// Pairing invitations, trusted devices, credentials, opening at login and capture permission.

#include "core/host/host_model.h"
#include "core/trust/secure_store.h"

namespace quorvanta {
namespace {

constexpr const char* kTurnOnSharing = "Turn on sharing before pairing a device.";
constexpr const char* kNotAllowedToInvite =
    "Allow remote control in Quorvanta Host to pair another device from here.";
constexpr const char* kNoPairingCode = "The Mac could not create a pairing code.";

}  // namespace

std::optional<std::string> HostModel::makeInvitation() {
  if (!state_.running || !identity_) {
    state_.error = kTurnOnSharing;
    publish();
    return state_.error;
  }
  recentPairing_.reset();
  std::string secret;
  try {
    secret = randomToken();
  } catch (const std::exception& failure) {
    state_.error = failure.what();
    publish();
    return state_.error;
  }
  PairingInvitation invitation;
  invitation.hostID = identity_->hostID();
  invitation.name = environment_->computerName();
  // Clients must reach the address the listener is bound to.
  invitation.address = listenAddress_.empty() ? state_.address : listenAddress_;
  invitation.port = port_;
  invitation.certificateHash = identity_->certificateHash();
  invitation.secret = std::move(secret);
  invitation.expiresAt = timings_.wallClock() + timings_.invitationLifetime;
  state_.invitation = std::move(invitation);
  publish();
  return std::nullopt;
}

void HostModel::cancelInvitation() {
  state_.invitation.reset();
  publish();
}

void HostModel::shareInvitation(const std::shared_ptr<PacketConnection>& channel) {
  if (!controlAllowed()) return notice(channel, kNotAllowedToInvite);
  makeInvitation();
  if (state_.invitation) {
    if (const auto link = state_.invitation->url()) {
      ControlMessage invitation = ControlMessage::make("invitation");
      invitation.text = *link;
      channel->send(invitation);
      return;
    }
  }
  notice(channel, state_.error.value_or(kNoPairingCode));
}

std::optional<std::string> HostModel::revoke(const std::string& deviceID) {
  if (registry_) {
    try {
      registry_->revoke(deviceID);
    } catch (const std::exception& failure) {
      state_.error = failure.what();
      publish();
      return state_.error;
    }
    state_.devices = registry_->devices();
  } else {
    state_.devices.clear();
  }
  if (recentPairing_ && recentPairing_->deviceID == deviceID) recentPairing_.reset();
  if (activeDeviceID_ == deviceID) endSession(true, false);
  publish();
  return std::nullopt;
}

void HostModel::loadCredentials(bool allowInteraction) {
  SecureStore& store = environment_->secureStore();
  try {
    HostIdentity identity =
        HostIdentity::create(environment_->credentialsDirectory(), store, allowInteraction);
    DeviceRegistry registry =
        DeviceRegistry::create(identity.hostID(), store, allowInteraction, timings_.wallClock);
    identity_.emplace(std::move(identity));
    registry_.emplace(std::move(registry));
    state_.devices = registry_->devices();
    state_.credentialStore = store.kind();
    state_.error.reset();
  } catch (const std::exception& failure) {
    state_.error = failure.what();
  }
  publish();
}

std::optional<std::string> HostModel::setLogin(bool enabled) {
  std::optional<std::string> result;
  try {
    environment_->setLoginItemEnabled(enabled);
    state_.loginEnabled = environment_->loginItemEnabled();
  } catch (const std::exception& failure) {
    state_.error = failure.what();
    result = state_.error;
  }
  publish();
  return result;
}

std::string HostModel::requestScreenRecording() {
  return environment_->requestScreenCapture();
}

}  // namespace quorvanta
