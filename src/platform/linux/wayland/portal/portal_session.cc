#include "platform/linux/wayland/portal/portal_session.h"

#include <cstring>
#include <span>
#include <system_error>

#include "core/util/paths.h"

namespace quorvanta::wayland {
namespace {

constexpr std::uint32_t kKeyboardAndPointer = 1 | 2;
constexpr std::uint32_t kMonitor = 1;
constexpr std::uint32_t kCursorEmbedded = 2;
constexpr std::uint32_t kPersistUntilRevoked = 2;
constexpr std::size_t kMaxTokenBytes = 4096;

constexpr const char* kNoStream = "The desktop shared no screen. Connect again to be asked again.";

std::string readToken(const std::filesystem::path& file) {
  try {
    return readFile(file, kMaxTokenBytes);
  } catch (const std::exception&) {
    return "";  // none kept yet: the portal asks
  }
}

void keepToken(const std::filesystem::path& file, const std::string& token) {
  if (file.empty()) return;
  std::error_code ignored;
  std::filesystem::create_directories(file.parent_path(), ignored);
  try {
    writeFileAtomically(file, std::span(reinterpret_cast<const std::uint8_t*>(token.data()), token.size()),
                        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  } catch (const std::exception&) {
    // Not kept: the next session asks again, which is all this costs.
  }
}

GVariantBuilder vardict() {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  return builder;
}

void add(GVariantBuilder& builder, const char* key, GVariant* value) {
  g_variant_builder_add(&builder, "{sv}", key, value);
}

void persist(GVariantBuilder& options, const std::string& restoreToken) {
  add(options, "persist_mode", g_variant_new_uint32(kPersistUntilRevoked));
  if (!restoreToken.empty()) add(options, "restore_token", g_variant_new_string(restoreToken.c_str()));
}

GVariant* noOptions() {
  return g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0);
}

}  // namespace

PortalSession::PortalSession(std::shared_ptr<PortalConnection> portal, const PortalSettings& settings)
    : portal_(std::move(portal)), input_(settings.remoteDesktopVersion >= 1) {
  const char* owner = input_ ? kPortalRemoteDesktop : kPortalScreenCast;
  const auto wait = settings.approvalWait;
  const std::string restoreToken = readToken(settings.tokenFile);

  auto create = vardict();
  add(create, "session_handle_token", g_variant_new_string(portal_->token().c_str()));
  const auto created = portal_->request(owner, "CreateSession", "", create, wait);
  const gchar* handle = nullptr;
  if (!g_variant_lookup(created.get(), "session_handle", "&s", &handle)) throw std::runtime_error(kNoStream);
  handle_ = handle;
  try {
    // The approval persists with the devices from RemoteDesktop version 2 on; a version 1 remote
    // desktop session cannot persist at all, so that desktop asks every time.
    if (input_) {
      auto devices = vardict();
      add(devices, "types", g_variant_new_uint32(kKeyboardAndPointer));
      if (settings.remoteDesktopVersion >= 2) persist(devices, restoreToken);
      portal_->request(kPortalRemoteDesktop, "SelectDevices", handle_, devices, wait);
    }
    auto sources = vardict();
    add(sources, "types", g_variant_new_uint32(kMonitor));
    add(sources, "multiple", g_variant_new_boolean(FALSE));
    add(sources, "cursor_mode", g_variant_new_uint32(kCursorEmbedded));
    if (!input_) persist(sources, restoreToken);
    portal_->request(kPortalScreenCast, "SelectSources", handle_, sources, wait);

    auto start = vardict();
    const auto started = portal_->request(owner, "Start", handle_, start, wait);
    const gchar* token = nullptr;
    if (g_variant_lookup(started.get(), "restore_token", "&s", &token) && *token != '\0')
      keepToken(settings.tokenFile, token);
    std::uint32_t granted = 0;
    if (input_) input_ = g_variant_lookup(started.get(), "devices", "u", &granted) && (granted & 2) != 0;

    const glib::Variant streams(
        g_variant_lookup_value(started.get(), "streams", G_VARIANT_TYPE("a(ua{sv})")));
    if (!streams || g_variant_n_children(streams.get()) == 0) throw std::runtime_error(kNoStream);
    GVariant* properties = nullptr;
    g_variant_get_child(streams.get(), 0, "(u@a{sv})", &node_, &properties);
    const glib::Variant owned(properties);
    if (!g_variant_lookup(properties, "size", "(ii)", &width_, &height_) || width_ <= 0 || height_ <= 0)
      throw std::runtime_error(kNoStream);
  } catch (...) {
    portal_->send("org.freedesktop.portal.Session", "Close", nullptr, handle_);
    throw;
  }
}

PortalSession::~PortalSession() {
  portal_->send("org.freedesktop.portal.Session", "Close", nullptr, handle_);
}

void PortalSession::notify(const char* method, GVariant* parameters) {
  if (!input_) {
    g_variant_unref(g_variant_ref_sink(parameters));
    return;
  }
  portal_->send(kPortalRemoteDesktop, method, parameters);
}

void PortalSession::pointerMotion(double x, double y) {
  notify("NotifyPointerMotionAbsolute",
         g_variant_new("(o@a{sv}udd)", handle_.c_str(), noOptions(), node_, x, y));
}

void PortalSession::pointerButton(std::int32_t evdevButton, bool pressed) {
  notify("NotifyPointerButton",
         g_variant_new("(o@a{sv}iu)", handle_.c_str(), noOptions(), evdevButton, pressed ? 1u : 0u));
}

void PortalSession::pointerAxis(double dx, double dy) {
  GVariantBuilder options = vardict();
  add(options, "finish", g_variant_new_boolean(TRUE));  // the scroll ends with this event
  notify("NotifyPointerAxis", g_variant_new("(oa{sv}dd)", handle_.c_str(), &options, dx, dy));
}

void PortalSession::keyboardKeycode(std::uint32_t evdevKey, bool pressed) {
  notify("NotifyKeyboardKeycode", g_variant_new("(o@a{sv}iu)", handle_.c_str(), noOptions(),
                                                static_cast<std::int32_t>(evdevKey), pressed ? 1u : 0u));
}

void PortalSession::keyboardKeysym(std::uint32_t keysym, bool pressed) {
  notify("NotifyKeyboardKeysym", g_variant_new("(o@a{sv}iu)", handle_.c_str(), noOptions(),
                                               static_cast<std::int32_t>(keysym), pressed ? 1u : 0u));
}

PortalDesktop::PortalDesktop(PortalSettings settings)
    : settings_(std::move(settings)), portal_(std::make_shared<PortalConnection>(settings_.busAddress)) {}

std::shared_ptr<PortalSession> PortalDesktop::session() {
  const std::lock_guard serial(starting_);
  if (auto running = currentSession()) return running;
  std::shared_ptr<PortalSession> started(new PortalSession(portal_, settings_));
  const std::lock_guard guard(lock_);
  current_ = started;
  return started;
}

std::shared_ptr<PortalSession> PortalDesktop::currentSession() {
  const std::lock_guard guard(lock_);
  return current_;
}

void PortalDesktop::forget(const std::shared_ptr<PortalSession>& session) {
  const std::lock_guard guard(lock_);
  if (current_ == session) current_.reset();
}

}  // namespace quorvanta::wayland
