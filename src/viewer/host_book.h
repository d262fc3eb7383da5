#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "client/client_state.h"
#include "core/protocol/pairing_invitation.h"
#include "core/trust/secure_store.h"

namespace quorvanta::viewer {

// A host this computer paired with: where it is, its pinned certificate and this device's
// identity there, under the host's own name. `state.token` is filled only by HostBook::token().
struct PairedHost {
  client::ClientState state;
  std::string name;

  bool operator==(const PairedHost&) const = default;
};

// The host an invitation names, before pairing: this device as `deviceID`, named after this
// computer, without a token yet.
PairedHost hostFromInvitation(const PairingInvitation& invitation, const std::string& deviceID);

// The hosts the viewer paired with, kept in hosts.json (0600, in a 0700 directory) with the
// device tokens in the secure store (the desktop keyring where one runs). Each call reads the
// file afresh, so two viewers see each other's changes. Throws QuorvantaError with a sentence
// naming the file when it cannot be read, is damaged or cannot be written.
class HostBook {
 public:
  HostBook(std::filesystem::path file, SecureStore& store) : file_(std::move(file)), store_(store) {}

  // $XDG_CONFIG_HOME/quorvanta-viewer/hosts.json, or ~/.config/quorvanta-viewer/hosts.json.
  static std::filesystem::path defaultFile();

  std::vector<PairedHost> hosts() const;
  // The host whose ID is `idOrName`, else the only one with that name (letter case ignored), else
  // the only host when `idOrName` is empty. Nothing when none or several match.
  std::optional<PairedHost> find(const std::string& idOrName) const;
  // This computer's device ID for new pairings: the one already used, or a new one.
  std::string deviceID() const;
  // Adds or replaces the host with `host.state.hostID`; the token goes to the secure store first.
  void remember(const PairedHost& host);
  // Forgets the host and overwrites its stored token.
  void forget(const std::string& hostID);
  // The device token kept for `host`; empty when none is stored.
  std::string token(const PairedHost& host) const;

 private:
  struct Contents {
    std::string deviceID;
    std::vector<PairedHost> hosts;
  };
  Contents load() const;
  void save(const Contents& contents) const;
  static std::string account(const PairedHost& host);

  std::filesystem::path file_;
  SecureStore& store_;
};

}  // namespace quorvanta::viewer
