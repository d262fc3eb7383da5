// The clipboard on Mutter's remote-desktop session: SetSelection offers text, SelectionTransfer
// asks for it through a file descriptor from SelectionWrite, SelectionRead hands one to read from.

#include <gio/gunixfdlist.h>
#include <poll.h>
#include <unistd.h>

#include "platform/linux/keyring/glib_support.h"
#include "platform/linux/wayland/gnome/mutter_bus_impl.h"
#include "platform/linux/wayland/gnome/mutter_session.h"

namespace quorvanta::wayland {
namespace {

constexpr const char* kTextType = "text/plain;charset=utf-8";

struct Descriptor {
  int fd = -1;
  explicit Descriptor(int value) : fd(value) {}
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

// The descriptor a call returned as its only "h" argument, or -1.
int takeDescriptor(GVariant* reply, GUnixFDList* list) {
  if (reply == nullptr || list == nullptr) return -1;
  gint32 index = -1;
  g_variant_get(reply, "(h)", &index);
  return g_unix_fd_list_get(list, index, nullptr);
}

}  // namespace

void RemoteDesktopSession::offerText(std::string text) {
  {
    std::lock_guard guard(clipboardLock_);
    offered_ = std::move(text);
    ownsSelection_ = true;
  }
  GVariantBuilder types;
  g_variant_builder_init(&types, G_VARIANT_TYPE_STRING_ARRAY);
  g_variant_builder_add(&types, "s", kTextType);
  g_variant_builder_add(&types, "s", "text/plain");
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "mime-types", g_variant_builder_end(&types));
  notify("SetSelection", g_variant_new("(a{sv})", &options));
}

void RemoteDesktopSession::transfer(std::uint32_t serial) {
  std::string text;
  {
    std::lock_guard guard(clipboardLock_);
    text = offered_;
  }
  GDBusConnection* connection = bus_->impl_->connection.get();
  GUnixFDList* fds = nullptr;
  const glib::Variant reply(g_dbus_connection_call_with_unix_fd_list_sync(
      connection, kMutterRemoteDesktop, sessionPath_.c_str(), kMutterRemoteDesktopSession, "SelectionWrite",
      g_variant_new("(u)", serial), G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, kMutterCallTimeoutMs,
      nullptr, &fds, nullptr, nullptr));
  const glib::Object<GUnixFDList> list(fds);
  bool written = false;
  {
    const Descriptor out(takeDescriptor(reply.get(), list.get()));
    if (out.fd >= 0) {
      std::size_t done = 0;
      while (done < text.size()) {
        const ssize_t count = write(out.fd, text.data() + done, text.size() - done);
        if (count <= 0) break;
        done += static_cast<std::size_t>(count);
      }
      written = done == text.size();
    }
  }
  notify("SelectionWriteDone", g_variant_new("(ub)", serial, written ? TRUE : FALSE));
}

void RemoteDesktopSession::ownerChanged(bool ours) {
  std::lock_guard guard(clipboardLock_);
  ownsSelection_ = ours;
}

std::optional<std::string> RemoteDesktopSession::readText(std::chrono::milliseconds limit,
                                                          std::size_t maxBytes) {
  if (stopped()) return std::nullopt;
  {
    // Mutter refuses to read a selection to the session that owns it: it holds what was offered.
    std::lock_guard guard(clipboardLock_);
    if (ownsSelection_) return offered_.size() <= maxBytes ? std::optional(offered_) : std::nullopt;
  }
  GUnixFDList* fds = nullptr;
  const glib::Variant reply(g_dbus_connection_call_with_unix_fd_list_sync(
      bus_->impl_->connection.get(), kMutterRemoteDesktop, sessionPath_.c_str(), kMutterRemoteDesktopSession,
      "SelectionRead", g_variant_new("(s)", kTextType), G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE,
      static_cast<int>(std::max<std::chrono::milliseconds::rep>(limit.count(), 1)), nullptr, &fds, nullptr,
      nullptr));
  const glib::Object<GUnixFDList> list(fds);
  const Descriptor in(takeDescriptor(reply.get(), list.get()));
  if (in.fd < 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string text;
  char chunk[16384];
  while (text.size() < maxBytes) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd readable{in.fd, POLLIN, 0};
    if (poll(&readable, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    const ssize_t count = read(in.fd, chunk, sizeof chunk);
    if (count < 0) return std::nullopt;
    if (count == 0) return text;
    text.append(chunk, static_cast<std::size_t>(count));
  }
  return std::nullopt;  // larger than anything worth sending
}

}  // namespace quorvanta::wayland
