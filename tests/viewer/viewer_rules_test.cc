#include <gtest/gtest.h>

#include <cmath>

#include "viewer/input_mapping.h"
#include "viewer/session_rules.h"

namespace quorvanta::viewer {
namespace {

TEST(ViewerRulesTest, StreamWidthFollowsTheWindowWithinTheHostsClamps) {
  const std::pair<double, std::int64_t> cases[] = {
      {1280, 1280}, {640, 960}, {5000, 3840}, {1919.6, 1920}, {NAN, 960},
  };
  for (const auto& [pixels, width] : cases)
    EXPECT_EQ(streamWidthFor(pixels), width) << pixels;
}

TEST(ViewerRulesTest, OnlyAResizeOfMoreThanATenthAsksForANewStream) {
  EXPECT_FALSE(widthChangeIsSignificant(1920, 1920));
  EXPECT_FALSE(widthChangeIsSignificant(1920, 1800));
  EXPECT_FALSE(widthChangeIsSignificant(1000, 1100));
  EXPECT_TRUE(widthChangeIsSignificant(1000, 1101));
  EXPECT_TRUE(widthChangeIsSignificant(1920, 1280));
}

TEST(ViewerRulesTest, ReconnectionsBackOffToFifteenSeconds) {
  const int expected[] = {1, 1, 2, 4, 8, 15, 15};
  for (int attempt = 0; attempt < 7; ++attempt)
    EXPECT_EQ(reconnectDelay(attempt), std::chrono::seconds(expected[attempt])) << attempt;
}

TEST(ViewerRulesTest, PictureFitsItsBoxWithItsAspectKept) {
  // A wide video in a tall box: bands above and below.
  EXPECT_EQ(fitPicture(1920, 1080, {0, 0, 960, 1080}), (Area{0, 270, 960, 540}));
  // A narrow video in a wide box: bands left and right.
  EXPECT_EQ(fitPicture(1000, 1000, {10, 0, 400, 200}), (Area{110, 0, 200, 200}));
  EXPECT_EQ(fitPicture(0, 1080, {0, 0, 100, 100}).width, 0);
}

TEST(ViewerRulesTest, PositionsAreFractionsOfTheDisplayedPictureClampedToIt) {
  const Area picture{0, 270, 960, 540};
  struct Case {
    double x, y, nx, ny;
  };
  const Case cases[] = {
      {0, 270, 0, 0}, {480, 540, 0.5, 0.5}, {960, 810, 1, 1}, {-5, 100, 0, 0}, {2000, 900, 1, 1}};
  for (const auto& c : cases) {
    const auto point = normalise(picture, c.x, c.y);
    ASSERT_TRUE(point);
    EXPECT_DOUBLE_EQ(point->x, c.nx);
    EXPECT_DOUBLE_EQ(point->y, c.ny);
  }
  EXPECT_FALSE(normalise({0, 0, 0, 0}, 1, 1));
}

TEST(ViewerRulesTest, ModifiersAndWheelUseTheHostsUnits) {
  EXPECT_EQ(modifierFlags({true, true, true}), kFlagShift | kFlagControl | kFlagOption);
  EXPECT_EQ(modifierFlags({}), 0u);
  EXPECT_DOUBLE_EQ(wheelPixels(120), 50);
  EXPECT_DOUBLE_EQ(wheelPixels(-240), -100);
}

}  // namespace
}  // namespace quorvanta::viewer
