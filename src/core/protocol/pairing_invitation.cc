#include "core/protocol/pairing_invitation.h"

#include <cmath>
#include <limits>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "core/protocol/json_integer.h"

#include "core/protocol/base64.h"

namespace quorvanta {
namespace {

using Json = nlohmann::json;

const Json* required(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

bool readString(const Json& object, const char* key, std::string& out) {
  const Json* value = required(object, key);
  if (!value || !value->is_string()) return false;
  out = value->get_ref<const std::string&>();
  return true;
}

template <typename Int>
bool readInt(const Json& object, const char* key, Int& out) {
  const Json* value = required(object, key);
  return value && readJsonInteger(*value, out);
}

bool readDouble(const Json& object, const char* key, double& out) {
  const Json* value = required(object, key);
  if (!value || !value->is_number()) return false;
  out = value->get<double>();
  return true;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding of one query name or value; nothing for a broken escape.
std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

std::string_view trimAsciiSpace(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n\f\v";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kSpace);
  return text.substr(first, last - first + 1);
}

}  // namespace

std::optional<std::string> encodePairingInvitation(const PairingInvitation& invitation) {
  if (!std::isfinite(invitation.expiresAt)) return std::nullopt;
  const Json object{{"version", invitation.version}, {"hostID", invitation.hostID},
                    {"name", invitation.name},       {"address", invitation.address},
                    {"port", invitation.port},       {"certificateHash", invitation.certificateHash},
                    {"secret", invitation.secret},   {"expiresAt", invitation.expiresAt}};
  try {
    return object.dump(-1, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}

std::optional<PairingInvitation> decodePairingInvitation(std::string_view json) {
  const Json object = Json::parse(json.begin(), json.end(), nullptr, /*allow_exceptions=*/false);
  if (object.is_discarded() || !object.is_object()) return std::nullopt;
  PairingInvitation invitation;
  const bool ok =
      readInt(object, "version", invitation.version) && readString(object, "hostID", invitation.hostID) &&
      readString(object, "name", invitation.name) && readString(object, "address", invitation.address) &&
      readInt(object, "port", invitation.port) &&
      readString(object, "certificateHash", invitation.certificateHash) &&
      readString(object, "secret", invitation.secret) &&
      readDouble(object, "expiresAt", invitation.expiresAt);
  if (!ok) return std::nullopt;
  return invitation;
}

std::optional<std::string> PairingInvitation::url() const {
  const auto json = encodePairingInvitation(*this);
  if (!json) return std::nullopt;
  std::string link(kPairingLinkPrefix);
  link += base64UrlEncode(asBytes(*json));
  return link;
}

std::optional<PairingInvitation> parsePairingLink(std::string_view link) {
  link = trimAsciiSpace(link);
  const auto schemeEnd = link.find("://");
  if (schemeEnd == std::string_view::npos || !equalsIgnoringCase(link.substr(0, schemeEnd), "quorvanta"))
    return std::nullopt;
  std::string_view rest = link.substr(schemeEnd + 3);
  // A fragment, if any, is ignored.
  if (const auto hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
  const auto queryStart = rest.find('?');
  if (queryStart == std::string_view::npos) return std::nullopt;
  // The authority is the host alone: no user, no port, no path.
  if (!equalsIgnoringCase(rest.substr(0, queryStart), "pair")) return std::nullopt;
  std::string_view query = rest.substr(queryStart + 1);

  std::optional<std::string> data;
  while (!data) {
    const auto end = query.find('&');
    const std::string_view item = query.substr(0, end);
    const auto equals = item.find('=');
    const auto name = percentDecode(item.substr(0, equals));
    if (!name) return std::nullopt;
    if (*name == "data") {
      data = percentDecode(equals == std::string_view::npos ? std::string_view{} : item.substr(equals + 1));
      if (!data) return std::nullopt;
    }
    if (end == std::string_view::npos) break;
    query.remove_prefix(end + 1);
  }
  if (!data) return std::nullopt;

  const auto json = base64UrlDecode(*data);
  if (!json) return std::nullopt;
  return decodePairingInvitation(std::string_view(reinterpret_cast<const char*>(json->data()), json->size()));
}

}  // namespace quorvanta
