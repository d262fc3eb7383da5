#include "platform/linux/x11/edid.h"

#include <algorithm>
#include <array>

namespace quorvanta::x11 {

std::optional<std::string> edidMonitorName(std::span<const std::uint8_t> edid) {
  constexpr std::array<std::uint8_t, 8> kHeader{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  constexpr std::size_t kBlockSize = 128;
  constexpr std::size_t kDescriptorSize = 18;
  constexpr std::uint8_t kMonitorNameTag = 0xFC;
  if (edid.size() < kBlockSize || !std::equal(kHeader.begin(), kHeader.end(), edid.begin()))
    return std::nullopt;

  for (std::size_t offset : {54u, 72u, 90u, 108u}) {
    auto d = edid.subspan(offset, kDescriptorSize);
    // A display descriptor starts with a zero pixel clock; detailed timings do not.
    if (d[0] != 0 || d[1] != 0 || d[2] != 0 || d[3] != kMonitorNameTag) continue;
    std::string name;
    for (std::size_t i = 5; i < kDescriptorSize; ++i) {
      const std::uint8_t c = d[i];
      if (c == 0x0A || c == 0x00) break;
      // The text is ASCII; anything else is replaced so the name stays valid UTF-8.
      name.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    }
    while (!name.empty() && name.back() == ' ')
      name.pop_back();
    while (!name.empty() && name.front() == ' ')
      name.erase(name.begin());
    if (!name.empty()) return name;
  }
  return std::nullopt;
}

}  // namespace quorvanta::x11
