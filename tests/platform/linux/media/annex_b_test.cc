#include "platform/linux/media/annex_b.h"

#include <gtest/gtest.h>

namespace quorvanta {
namespace {

TEST(AnnexBTest, SplitsOnBothStartCodesAndTakesOutParameterSets) {
  const Bytes annexB{
      0, 0, 0, 1,    0x09, 0xf0,                       // access unit delimiter: dropped
      0, 0, 0, 1,    0x67, 0x64, 0x00, 0x1f,           // SPS
      0, 0, 1, 0x68, 0xee, 0x3c, 0x80,                 // PPS after a 3-byte start code
      0, 0, 0, 1,    0x06, 0x05, 0x01, 0x80, 0,    0,  // SEI followed by trailing zeros
      0, 0, 0, 1,    0x65, 0x88, 0x00, 0x03, 0x01,     // IDR slice with an emulation prevention byte
  };
  const auto unit = annexBToAvcc(annexB);
  EXPECT_EQ(unit.sps, (Bytes{0x67, 0x64, 0x00, 0x1f}));
  EXPECT_EQ(unit.pps, (Bytes{0x68, 0xee, 0x3c, 0x80}));
  EXPECT_EQ(unit.data, (Bytes{0, 0, 0, 4, 0x06, 0x05, 0x01, 0x80, 0, 0, 0, 5, 0x65, 0x88, 0x00, 0x03, 0x01}));
}

TEST(AnnexBTest, PlainFramesAndGarbageGiveNoParameterSets) {
  const auto slice = annexBToAvcc(Bytes{0, 0, 1, 0x41, 0x9a});
  EXPECT_EQ(slice.data, (Bytes{0, 0, 0, 2, 0x41, 0x9a}));
  EXPECT_FALSE(slice.sps || slice.pps);

  EXPECT_TRUE(annexBToAvcc(Bytes{}).data.empty());
  EXPECT_TRUE(annexBToAvcc(Bytes{0x41, 0x9a, 0, 0}).data.empty());  // no start code at all
  EXPECT_TRUE(annexBToAvcc(Bytes{0, 0, 1, 0, 0, 1}).data.empty());  // empty NAL units
}

}  // namespace
}  // namespace quorvanta
