#include "core/host/control_request.h"

namespace quorvanta {

std::optional<nlohmann::json> parseControlRequest(std::string_view line) {
  nlohmann::json request = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (request.is_discarded() || !request.is_object()) return std::nullopt;
  return request;
}

std::optional<std::string> requestText(const nlohmann::json& request, const char* key) {
  if (!request.is_object()) return std::nullopt;
  const auto value = request.find(key);
  if (value == request.end() || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<bool> requestBool(const nlohmann::json& request, const char* key) {
  if (!request.is_object()) return std::nullopt;
  const auto value = request.find(key);
  if (value == request.end() || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

}  // namespace quorvanta
