#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace quorvanta::client {

// What the client keeps between runs: its own device identity and the host it paired with.
struct ClientState {
  std::string deviceID;    // a UUID made on the first pairing and kept across later ones
  std::string deviceName;  // the name sent with "pair"
  std::string hostID;
  std::string token;            // the device token from "paired"
  std::string certificateHash;  // the pin for the host's certificate
  std::string address;
  std::uint16_t port = 0;

  bool operator==(const ClientState&) const = default;
};

// One state as a JSON object, and back: every field is required, the token may be empty (a
// program that keeps the token elsewhere stores it so). Reading throws std::invalid_argument or
// a nlohmann::json exception for an object that does not hold a complete state.
nlohmann::json clientStateToJson(const ClientState& state);
ClientState clientStateFromJson(const nlohmann::json& object);

// This computer's host name, for the device names sent with "pair".
std::string localHostName();

// $XDG_CONFIG_HOME/quorvanta-client/state.json, or ~/.config/quorvanta-client/state.json, with
// the same rules for the variable as the host's own configuration directory. Throws
// QuorvantaError when there is no home directory.
std::filesystem::path defaultStatePath();

// The state kept in `path`, or nothing when there is no such file. Throws QuorvantaError with a
// sentence naming the file when it exists but cannot be read or does not hold a complete state.
std::optional<ClientState> loadClientState(const std::filesystem::path& path);

// Writes the state atomically as a 0600 file, making missing directories 0700. Throws
// QuorvantaError with a sentence naming the file.
void saveClientState(const std::filesystem::path& path, const ClientState& state);

}  // namespace quorvanta::client
