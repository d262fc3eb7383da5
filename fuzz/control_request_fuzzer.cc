// The control socket's request reader: bytes from a local client, split into lines as the host
// splits them, each parsed as a request and its arguments read as the host reads them.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/host/control_request.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

constexpr std::size_t kMaxRequestBytes = 64 * 1024;

void checkRequest(std::string_view line) {
  const auto request = quorvanta::parseControlRequest(line);
  if (!request) return;
  require(request->is_object());
  for (const char* key : {"command", "name", "id"}) {
    if (const auto text = quorvanta::requestText(*request, key)) require(request->at(key) == *text);
  }
  if (const auto value = quorvanta::requestBool(*request, "value")) require(request->at("value") == *value);
  // A request the host understood re-reads the same after a round trip through its reply text.
  const std::string dumped = request->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  const auto again = quorvanta::parseControlRequest(dumped);
  require(again.has_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view pending(reinterpret_cast<const char*>(data), size);
  while (true) {
    const std::size_t newline = pending.find('\n');
    if (newline == std::string_view::npos || newline > kMaxRequestBytes) break;
    checkRequest(pending.substr(0, newline));
    pending.remove_prefix(newline + 1);
  }
  return 0;
}
