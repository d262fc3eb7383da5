#include "core/host/host_commands.h"

#include <string>

#include "core/host/control_request.h"

namespace quorvanta {
namespace {

nlohmann::json optionalText(const std::optional<std::string>& text) {
  return text ? nlohmann::json(*text) : nlohmann::json(nullptr);
}

nlohmann::json devicesJson(const std::vector<TrustedDevice>& devices) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& device : devices)
    list.push_back({{"id", device.id}, {"name", device.name}, {"pairedAt", device.pairedAt}});
  return list;
}

nlohmann::json failure(const std::string& sentence) {
  return {{"ok", false}, {"error", sentence}};
}

nlohmann::json success() {
  return {{"ok", true}};
}

std::optional<bool> boolArgument(const nlohmann::json& request) {
  return requestBool(request, "value");
}

std::optional<std::string> textArgument(const nlohmann::json& request, const char* key) {
  return requestText(request, key);
}

}  // namespace

nlohmann::json stateJson(const HostState& state) {
  nlohmann::json invitation = nullptr;
  if (state.invitation) {
    if (const auto link = state.invitation->url())
      invitation = {{"link", *link}, {"expiresAt", state.invitation->expiresAt}};
  }
  nlohmann::json store = nullptr;
  if (state.credentialStore)
    store = *state.credentialStore == SecureStore::Kind::keyring ? "keyring" : "file";
  return {{"running", state.running},
          {"address", state.address},
          {"status", state.status},
          {"error", optionalText(state.error)},
          {"invitation", invitation},
          {"devices", devicesJson(state.devices)},
          {"activeDevice", optionalText(state.activeDevice)},
          {"controlEnabled", state.controlEnabled},
          {"curtainEnabled", state.curtainEnabled},
          {"loginEnabled", state.loginEnabled},
          {"screenPermission", state.screenPermission},
          {"accessibilityPermission", state.accessibilityPermission},
          {"credentialStore", store}};
}

nlohmann::json handleControlRequest(HostModel& model, const nlohmann::json& request,
                                    const std::function<void()>& showPanel) {
  const auto command = request.is_object() ? textArgument(request, "command") : std::nullopt;
  if (!command) return failure("The request names no command.");
  const std::string& name = *command;

  if (name == "status") return {{"ok", true}, {"status", stateJson(model.state())}};
  if (name == "start" || name == "stop") {
    if (name == "start") {
      model.start();
    } else {
      model.stop(false);
    }
    return {{"ok", true}, {"status", stateJson(model.state())}};
  }
  if (name == "pair") {
    if (const auto problem = model.makeInvitation()) return failure(*problem);
    const auto& invitation = model.state().invitation;
    const auto link = invitation ? invitation->url() : std::nullopt;
    if (!link) return failure("The Mac could not create a pairing code.");
    return {{"ok", true}, {"link", *link}, {"expiresAt", invitation->expiresAt}};
  }
  if (name == "unpair") {
    model.cancelInvitation();
    return success();
  }
  if (name == "devices") return {{"ok", true}, {"devices", devicesJson(model.state().devices)}};
  if (name == "revoke") {
    const auto id = textArgument(request, "id");
    if (!id) return failure("Name the device to revoke.");
    if (const auto problem = model.revoke(*id)) return failure(*problem);
    return {{"ok", true}, {"devices", devicesJson(model.state().devices)}};
  }
  if (name == "set") {
    const auto setting = textArgument(request, "name");
    const auto value = boolArgument(request);
    if (!setting || !value || (*setting != "control" && *setting != "curtain"))
      return failure("Say which setting to change (control or curtain) and whether to turn it on or off.");
    // A switch that could not be stored is reported, not passed off as done.
    const auto errorBefore = model.state().error;
    if (*setting == "control") {
      model.setControlEnabled(*value);
    } else {
      model.setCurtainEnabled(*value);
    }
    const auto& error = model.state().error;
    if (error && error != errorBefore) return failure(*error);
    return success();
  }
  if (name == "login") {
    const auto value = boolArgument(request);
    if (!value) return failure("Say whether to open at login (on or off).");
    if (const auto problem = model.setLogin(*value)) return failure(*problem);
    return {{"ok", true}, {"loginEnabled", model.state().loginEnabled}};
  }
  if (name == "show") {
    if (showPanel) showPanel();
    return success();
  }
  return failure("Unknown command: " + name + ".");
}

}  // namespace quorvanta
