#include "platform/linux/x11/edid.h"

#include <gtest/gtest.h>

#include <cstdint>
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

TEST(EdidTest, ReadsTheMonitorName) {
  EXPECT_EQ(edidMonitorName(edidWith(0xFC, "DELL U2720Q")), "DELL U2720Q");
  EXPECT_EQ(edidMonitorName(edidWith(0xFC, "ABCDEFGHIJKLM", 108)), "ABCDEFGHIJKLM");  // all 13 bytes
}

TEST(EdidTest, IgnoresOtherDescriptors) {
  EXPECT_EQ(edidMonitorName(edidWith(0xFF, "SERIAL123")), std::nullopt);
  // The text of the first slot is a timing, even when it happens to look like a name.
  auto edid = edidWith(0xFF, "x");
  edid[54 + 3] = 0xFC;
  EXPECT_EQ(edidMonitorName(edid), std::nullopt);
}

TEST(EdidTest, RejectsMalformedBlocks) {
  auto edid = edidWith(0xFC, "Monitor");
  EXPECT_EQ(edidMonitorName(std::span(edid).first(127)), std::nullopt);
  edid[1] = 0x00;
  EXPECT_EQ(edidMonitorName(edid), std::nullopt);
  EXPECT_EQ(edidMonitorName({}), std::nullopt);
}

TEST(EdidTest, BlankOrNonAsciiNamesAreHandled) {
  EXPECT_EQ(edidMonitorName(edidWith(0xFC, "   ")), std::nullopt);
  EXPECT_EQ(edidMonitorName(edidWith(0xFC, "A\xC3\xA9")), "A??");
}

}  // namespace
}  // namespace quorvanta::x11
