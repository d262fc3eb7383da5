#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quorvanta {

// One request line of the control socket (without its "\n"), as the host reads it: a JSON object,
// or nothing for any other text.
std::optional<nlohmann::json> parseControlRequest(std::string_view line);

// The string member `key` of a request, or nothing when it is missing or not a string.
std::optional<std::string> requestText(const nlohmann::json& request, const char* key);
// The Boolean member `key` of a request, or nothing when it is missing or not a Boolean.
std::optional<bool> requestBool(const nlohmann::json& request, const char* key);

}  // namespace quorvanta
