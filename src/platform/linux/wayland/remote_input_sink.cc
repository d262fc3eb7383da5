#include "platform/linux/wayland/remote_input_sink.h"

#include <glib.h>

#include "platform/linux/x11/x11_keymap.h"

namespace quorvanta::wayland {
namespace {

constexpr std::int32_t kButtonLeft = 0x110;
constexpr std::int32_t kButtonRight = 0x111;
// X keycodes are Linux input event codes plus this.
constexpr int kXKeycodeOffset = 8;

template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};

void typeText(RemoteInput& session, const std::string& text) {
  if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr) == FALSE) return;
  for (const char* at = text.c_str(); *at != '\0'; at = g_utf8_next_char(at)) {
    const auto keysym = x11::keysymForScalar(static_cast<char32_t>(g_utf8_get_char(at)));
    if (!keysym) continue;
    session.keyboardKeysym(*keysym, true);
    session.keyboardKeysym(*keysym, false);
  }
}

}  // namespace

void RemoteInputSink::emit(const InputEvent& event) {
  const auto session = session_();
  if (!session) return;
  std::visit(Overloaded{
                 [&](const MouseMoveEvent& move) { session->pointerMotion(move.point.x, move.point.y); },
                 [&](const MouseButtonEvent& button) {
                   session->pointerMotion(button.point.x, button.point.y);
                   session->pointerButton(button.button == MouseButton::left ? kButtonLeft : kButtonRight,
                                          button.down);
                 },
                 // Positive values scroll up and left here, down and right on the desktop.
                 [&](const ScrollEvent& scroll) {
                   session->pointerAxis(-static_cast<double>(scroll.horizontal),
                                        -static_cast<double>(scroll.vertical));
                 },
                 [&](const KeyEvent& key) {
                   const auto keycode = x11::keycodeForMacKey(key.keyCode);
                   if (!keycode || *keycode < kXKeycodeOffset) return;
                   session->keyboardKeycode(static_cast<std::uint32_t>(*keycode - kXKeycodeOffset), key.down);
                 },
                 [&](const TextEvent& text) { typeText(*session, text.text); },
             },
             event);
}

}  // namespace quorvanta::wayland
