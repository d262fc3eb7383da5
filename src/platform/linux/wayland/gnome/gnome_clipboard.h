#pragma once

#include <memory>

#include "core/input/clipboard.h"
#include "platform/linux/wayland/gnome/mutter_session.h"

namespace quorvanta::wayland {

// The clipboard on GNOME Wayland, as UTF-8 text through the running remote-desktop session
// (Mutter's selection calls); without a session it reads nothing and sets nothing.
class GnomeClipboard final : public Clipboard {
 public:
  // The most text read from the clipboard, as on X11.
  static constexpr std::size_t kMaxReadBytes = std::size_t{16} * 1024 * 1024;

  explicit GnomeClipboard(std::shared_ptr<MutterBus> bus) : bus_(std::move(bus)) {}
  std::optional<std::string> readText(std::chrono::milliseconds limit) override;
  void setText(std::string text) override;

 private:
  std::shared_ptr<MutterBus> bus_;
};

}  // namespace quorvanta::wayland
