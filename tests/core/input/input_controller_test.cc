#include "core/input/input_controller.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace quorvanta {
namespace {

class RecordingSink : public InputEventSink {
 public:
  void emit(const InputEvent& event) override { events.push_back(event); }
  std::vector<InputEvent> events;
};

constexpr DisplayRect kBounds{100, 50, 1000, 500};

class InputControllerTest : public ::testing::Test {
 protected:
  InputControllerTest()
      : sink_(std::make_shared<RecordingSink>()),
        controller_([this] { return allowed_; },
                    [](DisplayID id) {
                      return id == 7 ? DisplayRect{-1920, 0, 1920, 1080} : kBounds;
                    },
                    sink_, [this] { return now_; }) {}

  static ControlMessage input(std::string event) {
    ControlMessage message = ControlMessage::make("input");
    message.event = std::move(event);
    return message;
  }
  static ControlMessage at(std::string event, double x, double y) {
    ControlMessage message = input(std::move(event));
    message.x = x;
    message.y = y;
    return message;
  }
  static ControlMessage press(std::string event, bool down) {
    ControlMessage message = input(std::move(event));
    message.keyDown = down;
    return message;
  }
  static ControlMessage key(std::uint16_t code, std::optional<bool> down) {
    ControlMessage message = input("key");
    message.keyCode = code;
    message.keyDown = down;
    return message;
  }
  static ControlMessage text(std::string value) {
    ControlMessage message = input("text");
    message.text = std::move(value);
    return message;
  }
  void leftPressAt(double x, double y) {
    ControlMessage message = at("button", x, y);
    message.keyDown = true;
    controller_.handle(message);
    controller_.handle(press("button", false));
  }
  template <typename T>
  std::vector<T> eventsOf() const {
    std::vector<T> found;
    for (const auto& event : sink_->events) {
      if (const T* typed = std::get_if<T>(&event)) found.push_back(*typed);
    }
    return found;
  }
  std::vector<std::int64_t> pressClickCounts() const {
    std::vector<std::int64_t> counts;
    for (const auto& event : eventsOf<MouseButtonEvent>()) {
      if (event.down) counts.push_back(event.clickCount);
    }
    return counts;
  }

  bool allowed_ = true;
  double now_ = 100.0;
  std::shared_ptr<RecordingSink> sink_;
  InputController controller_;
};

TEST_F(InputControllerTest, RateLimitDropsAllButReleases) {
  allowed_ = false;  // nothing is injected without permission, nor counted against the limit
  for (int i = 0; i < 600; ++i)
    controller_.handle(at("move", 0.5, 0.5));
  EXPECT_TRUE(sink_->events.empty());
  allowed_ = true;
  for (int i = 0; i < InputController::kRateLimit; ++i)
    controller_.handle(at("move", 0.1, 0.1));
  controller_.handle(key(4, true));   // the 501st
  controller_.handle(key(4, false));  // a release passes
  controller_.handle(press("button", false));
  controller_.handle(key(5, std::nullopt));  // no keyDown: not a release for the limit
  EXPECT_EQ(sink_->events.size(), 502u);
  EXPECT_EQ(eventsOf<KeyEvent>(), (std::vector<KeyEvent>{{4, false, 0}}));
}

TEST_F(InputControllerTest, PositionsFollowTheDisplayAreClampedToItAndNonFiniteOnesIgnored) {
  controller_.handle(at("move", -0.5, 1.7));
  controller_.handle(at("move", 0.25, 0.5));
  controller_.handle(at("move", std::nan(""), 0.9));
  controller_.handle(at("move", 0.9, std::numeric_limits<double>::infinity()));
  controller_.handle(input("move"));
  const auto moves = eventsOf<MouseMoveEvent>();
  ASSERT_EQ(moves.size(), 5u);
  EXPECT_EQ(moves[0].point, (InputPoint{100, 549}));  // the bottom edge stays on the display
  EXPECT_EQ(moves[1].point, (InputPoint{350, 300}));
  for (std::size_t i = 2; i < 5; ++i)
    EXPECT_EQ(moves[i].point, moves[1].point);
  controller_.setDisplayID(7);
  controller_.handle(at("move", 0.5, 1.0));
  EXPECT_EQ(eventsOf<MouseMoveEvent>().back().point, (InputPoint{-960, 1079}));  // the last row, not below
}

TEST_F(InputControllerTest, ScrollUsesPixelsClampedAndTruncatedAndKeepsThePoint) {
  controller_.handle(at("move", 0.5, 0.5));
  controller_.handle(at("scroll", -3.7, 5000));
  controller_.handle(at("scroll", 0, 2.9));
  controller_.handle(at("scroll", -9000, -2.9));
  ControlMessage missing = input("scroll");
  missing.y = 10;
  controller_.handle(missing);
  controller_.handle(at("scroll", std::nan(""), 10));
  EXPECT_EQ(eventsOf<ScrollEvent>(), (std::vector<ScrollEvent>{{2000, -3}, {2, 0}, {-2, -2000}}));
  controller_.handle(press("button", true));
  EXPECT_EQ(eventsOf<MouseButtonEvent>().back().point, (InputPoint{600, 300}));
}

TEST_F(InputControllerTest, LeftClicksFormSeriesOfAtMostThree) {
  leftPressAt(0.100, 0.100);  // (200, 100)
  now_ += 0.3;
  leftPressAt(0.103, 0.108);  // 5 points away
  now_ += 0.3;
  leftPressAt(0.100, 0.100);
  now_ += 0.3;
  leftPressAt(0.100, 0.100);
  now_ += 0.6;
  leftPressAt(0.100, 0.100);  // too late
  now_ += 0.1;
  leftPressAt(0.110, 0.100);  // 10 points away
  now_ += 0.1;
  leftPressAt(0.110, 0.100);
  EXPECT_EQ(pressClickCounts(), (std::vector<std::int64_t>{1, 2, 3, 3, 1, 1, 2}));
  EXPECT_EQ(eventsOf<MouseButtonEvent>()[3],
            (MouseButtonEvent{MouseButton::left, false, 2, {203, 104}, 0}));  // its press's count
}

TEST_F(InputControllerTest, MovesDragWhileAButtonIsHeldAndCarryFlags) {
  controller_.handle(press("button", true));
  ControlMessage move = at("move", 0.5, 0.5);
  move.modifiers = 0xFFFFFFFF;
  controller_.handle(move);
  EXPECT_EQ(eventsOf<MouseMoveEvent>(),
            (std::vector<MouseMoveEvent>{{{600, 300}, MouseButton::left, modifier_flags::kMask}}));
}

TEST_F(InputControllerTest, KeysNeedAValidCodeAndReleaseWithoutKeyDown) {
  controller_.handle(key(128, true));
  controller_.handle(input("key"));
  ControlMessage paste = key(9, true);
  paste.modifiers = modifier_flags::kCommand | 0x1;
  controller_.handle(paste);
  controller_.handle(key(9, std::nullopt));
  controller_.handle(input("unknown"));
  controller_.handle(ControlMessage::make("input"));
  EXPECT_EQ(sink_->events,
            (std::vector<InputEvent>{KeyEvent{9, true, modifier_flags::kCommand}, KeyEvent{9, false, 0}}));
  controller_.releaseAll();
  EXPECT_EQ(sink_->events.size(), 2u);  // key 9 is no longer held
}

TEST_F(InputControllerTest, TextIsTypedInChunksThatKeepScalarsWhole) {
  const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 units
  controller_.handle(text(std::string(19, 'b') + emoji + "e\xCC\x81"));
  EXPECT_EQ(eventsOf<TextEvent>(), (std::vector<TextEvent>{{std::string(19, 'b')}, {emoji + "e\xCC\x81"}}));

  sink_->events.clear();
  controller_.handle(text(std::string(1025, 'c')));
  controller_.handle(text(std::string(1023, 'c') + emoji));  // 1025 units
  controller_.handle(text(""));
  controller_.handle(text("\xFF"));
  EXPECT_TRUE(sink_->events.empty());
  controller_.handle(text(std::string(1022, 'c') + emoji));  // exactly 1024 units
  EXPECT_EQ(sink_->events.size(), 52u);
}

TEST_F(InputControllerTest, ReleaseAllLetsGoOfHeldKeysAndButtonsAtTheLastPoint) {
  controller_.handle(key(56, true));
  ControlMessage down = at("button", 0.5, 0.5);
  down.keyDown = true;
  controller_.handle(down);
  controller_.handle(at("move", 0.0, 0.0));
  sink_->events.clear();
  allowed_ = false;  // releaseAll does not ask
  controller_.releaseAll();
  EXPECT_EQ(sink_->events,
            (std::vector<InputEvent>{KeyEvent{56, false, 0},
                                     MouseButtonEvent{MouseButton::left, false, 0, {100, 50}, 0}}));
  sink_->events.clear();
  controller_.releaseAll();
  EXPECT_TRUE(sink_->events.empty());
}

}  // namespace
}  // namespace quorvanta
