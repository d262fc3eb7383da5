#include "viewer/host_book.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include <nlohmann/json.hpp>

#include "core/trust/host_identity.h"
#include "core/util/paths.h"
#include "core/util/quorvanta_error.h"

namespace quorvanta::viewer {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::size_t kMaxFileBytes = 1024 * 1024;

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

}  // namespace

PairedHost hostFromInvitation(const PairingInvitation& invitation, const std::string& deviceID) {
  PairedHost host;
  host.state.deviceID = deviceID;
  host.state.deviceName = "quorvanta-viewer on " + client::localHostName();
  host.state.hostID = invitation.hostID;
  host.state.certificateHash = invitation.certificateHash;
  host.state.address = invitation.address;
  host.state.port = invitation.port;
  host.name = invitation.name;
  return host;
}

fs::path HostBook::defaultFile() {
  return configDirectory().parent_path() / "quorvanta-viewer" / "hosts.json";
}

std::string HostBook::account(const PairedHost& host) {
  return "viewer-token-" + host.state.hostID + "-" + host.state.deviceID;
}

HostBook::Contents HostBook::load() const {
  std::string text;
  try {
    text = readFile(file_, kMaxFileBytes);
  } catch (const fs::filesystem_error& error) {
    if (error.code() == std::errc::no_such_file_or_directory) return {};
    throw QuorvantaError("The list of hosts " + file_.string() +
                         " could not be read: " + error.code().message() + ".");
  }
  try {
    const json object = json::parse(text);
    Contents contents;
    contents.deviceID = object.at("deviceID").get<std::string>();
    for (const json& entry : object.at("hosts")) {
      PairedHost host;
      json state = entry;
      state["token"] = "";
      host.state = client::clientStateFromJson(state);
      host.name = entry.at("name").get<std::string>();
      contents.hosts.push_back(std::move(host));
    }
    return contents;
  } catch (const std::exception&) {
    throw QuorvantaError("The list of hosts " + file_.string() +
                         " is damaged. Remove it and pair this computer again.");
  }
}

void HostBook::save(const Contents& contents) const {
  json hosts = json::array();
  for (const PairedHost& host : contents.hosts) {
    json entry = client::clientStateToJson(host.state);
    entry.erase("token");
    entry["name"] = host.name;
    hosts.push_back(std::move(entry));
  }
  const json object = {{"deviceID", contents.deviceID}, {"hosts", std::move(hosts)}};
  const std::string text = object.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  try {
    createDirectories(file_.parent_path(), fs::perms::owner_all);
    writeFileAtomically(file_, asBytes(text), fs::perms::owner_read | fs::perms::owner_write);
  } catch (const fs::filesystem_error& error) {
    throw QuorvantaError("The list of hosts could not be saved to " + file_.string() + ": " +
                         error.code().message() + ".");
  }
}

std::vector<PairedHost> HostBook::hosts() const {
  return load().hosts;
}

std::optional<PairedHost> HostBook::find(const std::string& idOrName) const {
  const auto all = hosts();
  if (idOrName.empty()) return all.size() == 1 ? std::optional(all.front()) : std::nullopt;
  for (const auto& host : all) {
    if (host.state.hostID == idOrName) return host;
  }
  std::optional<PairedHost> found;
  for (const auto& host : all) {
    if (lowered(host.name) != lowered(idOrName)) continue;
    if (found) return std::nullopt;
    found = host;
  }
  return found;
}

std::string HostBook::deviceID() const {
  const auto contents = load();
  return contents.deviceID.empty() ? makeUuidText() : contents.deviceID;
}

void HostBook::remember(const PairedHost& host) {
  store_.write(asBytes(host.state.token), account(host));
  Contents contents = load();
  if (contents.deviceID.empty()) contents.deviceID = host.state.deviceID;
  PairedHost kept = host;
  kept.state.token.clear();
  auto same = std::find_if(contents.hosts.begin(), contents.hosts.end(),
                           [&](const PairedHost& entry) { return entry.state.hostID == host.state.hostID; });
  if (same != contents.hosts.end()) {
    *same = std::move(kept);
  } else {
    contents.hosts.push_back(std::move(kept));
  }
  save(contents);
}

void HostBook::forget(const std::string& hostID) {
  Contents contents = load();
  auto gone = std::find_if(contents.hosts.begin(), contents.hosts.end(),
                           [&](const PairedHost& entry) { return entry.state.hostID == hostID; });
  if (gone == contents.hosts.end()) return;
  const PairedHost host = *gone;
  contents.hosts.erase(gone);
  save(contents);
  // The store keeps items; an empty token is as good as none.
  store_.write({}, account(host));
}

std::string HostBook::token(const PairedHost& host) const {
  const auto bytes = store_.read(account(host), true);
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

}  // namespace quorvanta::viewer
