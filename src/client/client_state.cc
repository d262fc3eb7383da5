#include "client/client_state.h"

#include <unistd.h>

#include <climits>

#include <cerrno>
#include <system_error>

#include <nlohmann/json.hpp>

#include "core/protocol/base64.h"
#include "core/util/paths.h"
#include "core/util/quorvanta_error.h"

namespace quorvanta::client {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::size_t kMaxStateBytes = 64 * 1024;

std::string requiredString(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) throw std::invalid_argument(key);
  return it->get<std::string>();
}

}  // namespace

ClientState clientStateFromJson(const json& object) {
  if (!object.is_object()) throw std::invalid_argument("not an object");
  ClientState state;
  state.deviceID = requiredString(object, "deviceID");
  state.deviceName = requiredString(object, "deviceName");
  state.hostID = requiredString(object, "hostID");
  state.token = requiredString(object, "token");
  state.certificateHash = requiredString(object, "certificateHash");
  state.address = requiredString(object, "address");
  const auto port = object.find("port");
  if (port == object.end() || !port->is_number_unsigned() || port->get<std::uint64_t>() == 0 ||
      port->get<std::uint64_t>() > 65535) {
    throw std::invalid_argument("port");
  }
  state.port = static_cast<std::uint16_t>(port->get<std::uint64_t>());
  return state;
}

json clientStateToJson(const ClientState& state) {
  return {
      {"deviceID", state.deviceID}, {"deviceName", state.deviceName},           {"hostID", state.hostID},
      {"token", state.token},       {"certificateHash", state.certificateHash}, {"address", state.address},
      {"port", state.port},
  };
}

std::string localHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

fs::path defaultStatePath() {
  // configDirectory() is <config home>/quorvanta; the client keeps a directory of its own there.
  return configDirectory().parent_path() / "quorvanta-client" / "state.json";
}

std::optional<ClientState> loadClientState(const fs::path& path) {
  std::string text;
  try {
    text = readFile(path, kMaxStateBytes);
  } catch (const fs::filesystem_error& error) {
    if (error.code() == std::errc::no_such_file_or_directory) return std::nullopt;
    throw QuorvantaError("The client state " + path.string() +
                         " could not be read: " + error.code().message() + ".");
  }
  try {
    return clientStateFromJson(json::parse(text));
  } catch (const std::exception&) {
    throw QuorvantaError("The client state " + path.string() +
                         " is damaged. Remove it and pair this client again.");
  }
}

void saveClientState(const fs::path& path, const ClientState& state) {
  const json object = clientStateToJson(state);
  // Names typed by people may not be UTF-8; such bytes are kept as replacement characters.
  const std::string text = object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  try {
    if (path.has_parent_path()) createDirectories(path.parent_path(), fs::perms::owner_all);
    writeFileAtomically(path, asBytes(text), fs::perms::owner_read | fs::perms::owner_write);
  } catch (const fs::filesystem_error& error) {
    throw QuorvantaError("The client state could not be saved to " + path.string() + ": " +
                         error.code().message() + ".");
  }
}

}  // namespace quorvanta::client
