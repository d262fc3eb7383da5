#include "platform/linux/media/annex_b.h"

#include <cstddef>

namespace quorvanta {
namespace {

constexpr std::uint8_t kNalTypeSps = 7;
constexpr std::uint8_t kNalTypePps = 8;
constexpr std::uint8_t kNalTypeAccessUnitDelimiter = 9;

// Index of the next 00 00 01 at or after `from`, or the size when there is none.
std::size_t findStartCode(std::span<const std::uint8_t> bytes, std::size_t from) {
  for (std::size_t i = from; i + 2 < bytes.size(); ++i) {
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) return i;
  }
  return bytes.size();
}

void appendWithLength(Bytes& out, std::span<const std::uint8_t> nal) {
  const auto size = static_cast<std::uint32_t>(nal.size());
  out.push_back(static_cast<std::uint8_t>(size >> 24));
  out.push_back(static_cast<std::uint8_t>(size >> 16));
  out.push_back(static_cast<std::uint8_t>(size >> 8));
  out.push_back(static_cast<std::uint8_t>(size));
  out.insert(out.end(), nal.begin(), nal.end());
}

}  // namespace

AvccAccessUnit annexBToAvcc(std::span<const std::uint8_t> annexB) {
  AvccAccessUnit unit;
  std::size_t start = findStartCode(annexB, 0);
  while (start < annexB.size()) {
    const std::size_t begin = start + 3;
    const std::size_t next = findStartCode(annexB, begin);
    std::size_t end = next;
    while (end > begin && annexB[end - 1] == 0)
      --end;  // trailing zeros and a 4-byte start code
    start = next;
    if (end == begin) continue;

    const auto nal = annexB.subspan(begin, end - begin);
    const auto type = static_cast<std::uint8_t>(nal[0] & 0x1f);
    if (type == kNalTypeSps) {
      if (!unit.sps) unit.sps = Bytes(nal.begin(), nal.end());
    } else if (type == kNalTypePps) {
      if (!unit.pps) unit.pps = Bytes(nal.begin(), nal.end());
    } else if (type != kNalTypeAccessUnitDelimiter) {
      appendWithLength(unit.data, nal);
    }
  }
  return unit;
}

}  // namespace quorvanta
