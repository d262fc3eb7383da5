#include "platform/linux/wayland/gnome/gnome_clipboard.h"

namespace quorvanta::wayland {

std::optional<std::string> GnomeClipboard::readText(std::chrono::milliseconds limit) {
  const auto session = bus_->currentSession();
  if (!session) return std::nullopt;
  return session->readText(limit, kMaxReadBytes);
}

void GnomeClipboard::setText(std::string text) {
  if (const auto session = bus_->currentSession()) session->offerText(std::move(text));
}

}  // namespace quorvanta::wayland
