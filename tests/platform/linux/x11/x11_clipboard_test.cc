#include "platform/linux/x11/x11_clipboard.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <xcb/xcb.h>

#include <chrono>
#include <string>

#include "platform/linux/x11/xcb_handles.h"
#include "xvfb_server.h"

namespace quorvanta::x11 {
namespace {

using namespace std::chrono_literals;
using quorvanta::testing::XvfbServer;

constexpr auto kLimit = 5s;

// A plain client that asks the CLIPBOARD owner for `target` and returns the property's type and
// bytes (nothing when refused or no answer came within 5 s).
std::optional<std::pair<xcb_atom_t, std::string>> convert(const std::string& display,
                                                          const std::string& target) {
  const Connection connection = Connection::connect(display);
  xcb_connection_t* c = connection.get();
  const xcb_window_t window = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, connection.root(), 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
  const xcb_atom_t property = internAtom(c, "RESULT", false);
  xcb_convert_selection(c, window, internAtom(c, "CLIPBOARD", false), internAtom(c, target, false), property,
                        XCB_CURRENT_TIME);
  xcb_flush(c);
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    Reply<xcb_generic_event_t> event(xcb_poll_for_event(c));
    if (!event) {
      pollfd descriptor{xcb_get_file_descriptor(c), POLLIN, 0};
      ::poll(&descriptor, 1, 100);
      continue;
    }
    if ((event->response_type & 0x7F) != XCB_SELECTION_NOTIFY) continue;
    if (reinterpret_cast<const xcb_selection_notify_event_t*>(event.get())->property == XCB_NONE)
      return std::nullopt;
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 1, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 20), nullptr));
    const auto* bytes = static_cast<const char*>(xcb_get_property_value(reply.get()));
    return std::pair{
        reply->type,
        std::string(bytes, static_cast<std::size_t>(xcb_get_property_value_length(reply.get())))};
  }
  return std::nullopt;
}

class X11ClipboardTest : public ::testing::Test {
 protected:
  XvfbServer xvfb_;
};

TEST_F(X11ClipboardTest, OtherClientsGetTargetsUtf8AndLatin1) {
  X11Clipboard host(xvfb_.display());
  host.setText("café ✓");

  const auto utf8 = convert(xvfb_.display(), "UTF8_STRING");
  ASSERT_TRUE(utf8);
  EXPECT_EQ(utf8->second, "café ✓");
  const auto latin1 = convert(xvfb_.display(), "STRING");
  ASSERT_TRUE(latin1);
  EXPECT_EQ(latin1->first, XCB_ATOM_STRING);
  EXPECT_EQ(latin1->second, "caf\xE9 ?");
  const auto targets = convert(xvfb_.display(), "TARGETS");
  ASSERT_TRUE(targets);
  EXPECT_EQ(targets->first, XCB_ATOM_ATOM);
  EXPECT_EQ(targets->second.size(), 4 * sizeof(xcb_atom_t));
  EXPECT_EQ(convert(xvfb_.display(), "image/png"), std::nullopt);
}

}  // namespace
}  // namespace quorvanta::x11
