#include "core/protocol/control_message.h"

#include <cmath>
#include <limits>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "core/protocol/json_integer.h"

namespace quorvanta {
namespace {

using Json = nlohmann::json;

// Reads one optional field. Every reader returns false when a present, non-null value does not
// fit the field, which makes the whole record undecodable.

const Json* member(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

bool readValue(const Json& value, std::string& out) {
  if (!value.is_string()) return false;
  out = value.get_ref<const std::string&>();
  return true;
}

bool readValue(const Json& value, bool& out) {
  if (!value.is_boolean()) return false;
  out = value.get<bool>();
  return true;
}

bool readValue(const Json& value, double& out) {
  if (!value.is_number()) return false;
  out = value.get<double>();
  return true;
}

template <typename Int>
requires std::is_integral_v<Int>
bool readValue(const Json& value, Int& out) {
  return readJsonInteger(value, out);
}

bool readValue(const Json& value, Bytes& out) {
  if (!value.is_string()) return false;
  auto decoded = base64Decode(value.get_ref<const std::string&>());
  if (!decoded) return false;
  out = std::move(*decoded);
  return true;
}

bool readValue(const Json& value, std::vector<std::string>& out) {
  if (!value.is_array()) return false;
  out.clear();
  out.reserve(value.size());
  for (const auto& item : value) {
    if (!item.is_string()) return false;
    out.push_back(item.get<std::string>());
  }
  return true;
}

bool readDisplay(const Json& value, RemoteDisplay& out);

bool readValue(const Json& value, std::vector<RemoteDisplay>& out) {
  if (!value.is_array()) return false;
  out.clear();
  out.reserve(value.size());
  for (const auto& item : value) {
    RemoteDisplay display;
    if (!readDisplay(item, display)) return false;
    out.push_back(std::move(display));
  }
  return true;
}

template <typename T>
bool readOptional(const Json& object, const char* key, std::optional<T>& out) {
  const Json* value = member(object, key);
  if (!value) return true;
  T parsed{};
  if (!readValue(*value, parsed)) return false;
  out = std::move(parsed);
  return true;
}

template <typename T>
bool readRequired(const Json& object, const char* key, T& out) {
  const Json* value = member(object, key);
  return value && readValue(*value, out);
}

bool readDisplay(const Json& value, RemoteDisplay& out) {
  return value.is_object() && readRequired(value, "id", out.id) && readRequired(value, "name", out.name) &&
         readRequired(value, "width", out.width) && readRequired(value, "height", out.height);
}

Json displayJson(const RemoteDisplay& display) {
  return Json{
      {"id", display.id}, {"name", display.name}, {"width", display.width}, {"height", display.height}};
}

template <typename T>
void writeOptional(Json& object, const char* key, const std::optional<T>& value) {
  if (!value) return;
  if constexpr (std::is_same_v<T, Bytes>) {
    object[key] = base64Encode(*value);
  } else if constexpr (std::is_same_v<T, std::vector<RemoteDisplay>>) {
    Json list = Json::array();
    for (const auto& display : *value)
      list.push_back(displayJson(display));
    object[key] = std::move(list);
  } else {
    object[key] = *value;
  }
}

Json parseObject(std::string_view text) {
  Json parsed = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) return Json();
  return parsed;
}

// Compact text; nothing when a string is not valid UTF-8.
std::optional<std::string> dump(const Json& value) {
  try {
    return value.dump(-1, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}

}  // namespace

ControlMessage ControlMessage::make(std::string type) {
  ControlMessage message;
  message.type = std::move(type);
  message.version = kProtocolVersion;
  return message;
}

std::optional<std::string> encodeControlMessage(const ControlMessage& m) {
  if ((m.x && !std::isfinite(*m.x)) || (m.y && !std::isfinite(*m.y))) return std::nullopt;
  Json o = Json::object();
  o["type"] = m.type;
  writeOptional(o, "version", m.version);
  writeOptional(o, "hostID", m.hostID);
  writeOptional(o, "name", m.name);
  writeOptional(o, "deviceID", m.deviceID);
  writeOptional(o, "deviceName", m.deviceName);
  writeOptional(o, "secret", m.secret);
  writeOptional(o, "token", m.token);
  writeOptional(o, "message", m.message);
  writeOptional(o, "displays", m.displays);
  writeOptional(o, "displayID", m.displayID);
  writeOptional(o, "controlAllowed", m.controlAllowed);
  writeOptional(o, "fps", m.fps);
  writeOptional(o, "maxWidth", m.maxWidth);
  writeOptional(o, "bitrate", m.bitrate);
  writeOptional(o, "width", m.width);
  writeOptional(o, "height", m.height);
  writeOptional(o, "sps", m.sps);
  writeOptional(o, "pps", m.pps);
  writeOptional(o, "event", m.event);
  writeOptional(o, "x", m.x);
  writeOptional(o, "y", m.y);
  writeOptional(o, "button", m.button);
  writeOptional(o, "keyCode", m.keyCode);
  writeOptional(o, "keyDown", m.keyDown);
  writeOptional(o, "modifiers", m.modifiers);
  writeOptional(o, "text", m.text);
  writeOptional(o, "features", m.features);
  writeOptional(o, "frames", m.frames);
  writeOptional(o, "restart", m.restart);
  writeOptional(o, "takeover", m.takeover);
  return dump(o);
}

std::optional<ControlMessage> decodeControlMessage(std::string_view json) {
  const Json o = parseObject(json);
  if (!o.is_object()) return std::nullopt;
  ControlMessage m;
  const bool ok = readRequired(o, "type", m.type) && readOptional(o, "version", m.version) &&
                  readOptional(o, "hostID", m.hostID) && readOptional(o, "name", m.name) &&
                  readOptional(o, "deviceID", m.deviceID) && readOptional(o, "deviceName", m.deviceName) &&
                  readOptional(o, "secret", m.secret) && readOptional(o, "token", m.token) &&
                  readOptional(o, "message", m.message) && readOptional(o, "displays", m.displays) &&
                  readOptional(o, "displayID", m.displayID) &&
                  readOptional(o, "controlAllowed", m.controlAllowed) && readOptional(o, "fps", m.fps) &&
                  readOptional(o, "maxWidth", m.maxWidth) && readOptional(o, "bitrate", m.bitrate) &&
                  readOptional(o, "width", m.width) && readOptional(o, "height", m.height) &&
                  readOptional(o, "sps", m.sps) && readOptional(o, "pps", m.pps) &&
                  readOptional(o, "event", m.event) && readOptional(o, "x", m.x) &&
                  readOptional(o, "y", m.y) && readOptional(o, "button", m.button) &&
                  readOptional(o, "keyCode", m.keyCode) && readOptional(o, "keyDown", m.keyDown) &&
                  readOptional(o, "modifiers", m.modifiers) && readOptional(o, "text", m.text) &&
                  readOptional(o, "features", m.features) && readOptional(o, "frames", m.frames) &&
                  readOptional(o, "restart", m.restart) && readOptional(o, "takeover", m.takeover);
  if (!ok) return std::nullopt;
  return m;
}

std::optional<std::string> encodeRemoteDisplay(const RemoteDisplay& display) {
  return dump(displayJson(display));
}

std::optional<RemoteDisplay> decodeRemoteDisplay(std::string_view json) {
  const Json o = parseObject(json);
  RemoteDisplay display;
  if (!readDisplay(o, display)) return std::nullopt;
  return display;
}

}  // namespace quorvanta
