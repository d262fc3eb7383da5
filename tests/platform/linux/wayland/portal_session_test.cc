// The portal backend against a stand-in portal on a private bus, which answers each request with a
// Response on the Request path made from our handle_token, as once the person answered its dialog.
#include "platform/linux/wayland/portal/portal_session.h"

#include <gio/gunixfdlist.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "core/host/host_test_directory.h"
#include "fake_bus_service.h"
#include "platform/linux/wayland/remote_input_sink.h"

namespace quorvanta::wayland {
namespace {

std::string method(const std::string& name, std::initializer_list<const char*> in, const char* out) {
  std::string xml = "<method name='" + name + "'>";
  for (const char* type : in)
    xml += std::string("<arg direction='in' type='") + type + "'/>";
  if (*out != '\0') xml += std::string("<arg direction='out' type='") + out + "'/>";
  return xml + "</method>";
}

std::string portalXml() {
  std::string xml = "<node><interface name='org.freedesktop.portal.ScreenCast'>" +
                    method("CreateSession", {"a{sv}"}, "o") + method("SelectSources", {"o", "a{sv}"}, "o") +
                    method("Start", {"o", "s", "a{sv}"}, "o") +
                    method("OpenPipeWireRemote", {"o", "a{sv}"}, "h") +
                    "</interface><interface name='org.freedesktop.portal.RemoteDesktop'>" +
                    method("CreateSession", {"a{sv}"}, "o") + method("SelectDevices", {"o", "a{sv}"}, "o") +
                    method("Start", {"o", "s", "a{sv}"}, "o") +
                    method("NotifyPointerMotionAbsolute", {"o", "a{sv}", "u", "d", "d"}, "") +
                    method("NotifyPointerAxis", {"o", "a{sv}", "d", "d"}, "");
  for (const char* notify : {"NotifyPointerButton", "NotifyKeyboardKeycode", "NotifyKeyboardKeysym"})
    xml += method(notify, {"o", "a{sv}", "i", "u"}, "");
  return xml + "</interface></node>";
}

struct FakePortal {
  FakePortal()
      : bus_(g_test_dbus_new(G_TEST_DBUS_NONE)),
        address_((g_test_dbus_up(bus_), g_test_dbus_get_bus_address(bus_))),
        service_(address_, kPortalService, {{kPortalPath, portalXml()}},
                 [this](const testing::FakeBusService::Call& call, GVariant* parameters,
                        GDBusMethodInvocation* invocation) { answer(call, parameters, invocation); }) {}
  ~FakePortal() {
    g_test_dbus_down(bus_);
    g_object_unref(bus_);
  }

  // The arguments of the last call of `name`, as the fake saw them.
  std::string last(const std::string& name) const {
    std::string found;
    for (const auto& call : service_.calls())
      if (call.method == name) found = call.arguments;
    return found;
  }

  GTestDBus* bus_;
  std::string address_;
  ScratchDirectory directory_;
  std::filesystem::path tokenFile = directory_.path() / "portal-restore-token";
  std::atomic<int> refusals{0};  // Start requests still to be declined
  testing::FakeBusService service_;

  void answer(const testing::FakeBusService::Call& call, GVariant* parameters,
              GDBusMethodInvocation* invocation) {
    if (call.method.starts_with("Notify")) return g_dbus_method_invocation_return_value(invocation, nullptr);
    if (call.method == "OpenPipeWireRemote") {
      const glib::Object<GUnixFDList> fds(g_unix_fd_list_new());
      g_unix_fd_list_append(fds.get(), STDIN_FILENO, nullptr);
      return g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", 0),
                                                                     fds.get());
    }
    const glib::Variant options(g_variant_get_child_value(parameters, g_variant_n_children(parameters) - 1));
    const gchar* token = "";
    g_variant_lookup(options.get(), "handle_token", "&s", &token);
    std::string sender = g_dbus_method_invocation_get_sender(invocation) + 1;
    std::replace(sender.begin(), sender.end(), '.', '_');
    const std::string request = std::string(kPortalPath) + "/request/" + sender + "/" + token;
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", request.c_str()));

    const bool refused = call.method == "Start" && refusals.fetch_sub(1) > 0;
    const char* results = "@a{sv} {}";
    if (call.method == "CreateSession") results = "{'session_handle': <'/session/1'>}";
    if (call.method == "Start" && !refused)
      results =
          "{'devices': <uint32 3>, 'restore_token': <'token-1'>, "
          "'streams': <[(uint32 42, {'size': <(1280, 720)>})]>}";
    g_dbus_connection_emit_signal(
        g_dbus_method_invocation_get_connection(invocation), nullptr, request.c_str(),
        "org.freedesktop.portal.Request", "Response",
        g_variant_new("(u@a{sv})", refused ? 1u : 0u, g_variant_new_parsed(results)), nullptr);
  }
};

PortalSettings settings(const FakePortal& portal, unsigned remoteDesktop) {
  return {portal.address_, portal.tokenFile, remoteDesktop, std::chrono::seconds(5)};
}

TEST(PortalSession, AnApprovalIsKeptARefusalIsNotAndInputGoesToTheApprovedStream) {
  FakePortal portal;
  portal.refusals = 1;
  PortalDesktop desktop(settings(portal, 0));
  EXPECT_THAT([&] { desktop.session(); },
              ::testing::ThrowsMessage<PortalRefusal>(::testing::StrEq(
                  "Screen sharing was declined on this computer. Connect again to be asked again.")));
  EXPECT_FALSE(std::filesystem::exists(portal.tokenFile));

  // The next capture asks again; the approval's token is kept for the person alone.
  const auto session = desktop.session();
  EXPECT_EQ(session->node(), 42u);
  EXPECT_EQ(session->width(), 1280);
  EXPECT_NE(portal.last("SelectSources").find("'persist_mode': <uint32 2>"), std::string::npos);
  EXPECT_EQ(portal.last("SelectSources").find("restore_token"), std::string::npos);
  EXPECT_TRUE(session->openPipeWireRemote());
  struct stat file {};
  ASSERT_EQ(stat(portal.tokenFile.c_str(), &file), 0);
  EXPECT_EQ(file.st_mode & 0777, 0600u);

  // After a restart the kept token lets the portal restore the approval without a dialog.
  PortalDesktop restarted(settings(portal, 0));
  restarted.session();
  EXPECT_NE(portal.last("SelectSources").find("'restore_token': <'token-1'>"), std::string::npos);

  auto withInput = std::make_shared<PortalDesktop>(settings(portal, 1));
  withInput->session();
  // A version 1 remote desktop session cannot persist: nothing asks it to.
  EXPECT_EQ(portal.last("SelectSources").find("persist_mode"), std::string::npos);
  EXPECT_NE(portal.last("SelectDevices").find("'types': <uint32 3>"), std::string::npos);

  RemoteInputSink input([&] { return withInput->currentSession(); });
  const struct {
    InputEvent event;
    const char* method;
    const char* arguments;
  } cases[] = {
      {MouseMoveEvent{{10, 20}, std::nullopt, 0}, "NotifyPointerMotionAbsolute", "42, 10.0, 20.0)"},
      {MouseButtonEvent{MouseButton::right, true, 1, {10, 20}, 0}, "NotifyPointerButton", "273, 1)"},
      {ScrollEvent{-30, 0}, "NotifyPointerAxis", "{'finish': <true>}, -0.0, 30.0)"},
      {KeyEvent{0, true, 0}, "NotifyKeyboardKeycode", "30, 1)"},
      {TextEvent{"\u00e9"}, "NotifyKeyboardKeysym", "233, "},
  };
  for (const auto& c : cases) {
    input.emit(c.event);
    EXPECT_TRUE(portal.service_.waitForCalls(c.method, 1, std::chrono::seconds(5))) << c.method;
    EXPECT_NE(portal.last(c.method).find(c.arguments), std::string::npos)
        << c.method << portal.last(c.method);
  }
}

}  // namespace
}  // namespace quorvanta::wayland
