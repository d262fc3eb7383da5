#include "platform/linux/x11/edid.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvanta::x11 {
namespace {

// A base block with a detailed timing in the first slot and `descriptor` text under `tag` in
// the slot at `offset`.
std::vector<std::uint8_t> edidWith(std::uint8_t tag, const std::string& text, std::size_t offset = 72) {
  std::vector<std::uint8_t> edid(128, 0);
  const std::uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  std::copy(std::begin(header), std::end(header), edid.begin());
  edid[54] = 0x3A;  // a non-zero pixel clock: a detailed timing, not a descriptor
  edid[55] = 0x02;
  edid[offset + 3] = tag;
  for (std::size_t i = 0; i < 13; ++i) {
    edid[offset + 5 + i] =
        i < text.size() ? static_cast<std::uint8_t>(text[i]) : (i == text.size() ? 0x0A : 0x20);
  }
  return edid;
}

TEST(EdidTest, ReadsTheMonitorNameOfWellFormedBlocksOnly) {
  auto timingLooksLikeAName = edidWith(0xFF, "x");
  timingLooksLikeAName[54 + 3] = 0xFC;
  const struct {
    const char* what;
    std::vector<std::uint8_t> edid;
    std::optional<std::string> name;
  } cases[] = {
      {"a name", edidWith(0xFC, "DELL U2720Q"), "DELL U2720Q"},
      {"all 13 bytes, last slot", edidWith(0xFC, "ABCDEFGHIJKLM", 108), "ABCDEFGHIJKLM"},
      {"a serial number", edidWith(0xFF, "SERIAL123"), std::nullopt},
      {"the first slot is a timing", timingLooksLikeAName, std::nullopt},
      {"nothing", {}, std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(edidMonitorName(c.edid), c.name) << c.what;
}

}  // namespace
}  // namespace quorvanta::x11
