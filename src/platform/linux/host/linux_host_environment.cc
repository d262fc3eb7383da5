#include "platform/linux/host/linux_host_environment.h"

#include <cstdlib>
#include <cstring>

#include <xcb/xcb.h>

#include "core/host/computer_name.h"
#include "core/host/tailscale.h"
#include "core/video/h264_encoder.h"
#include "core/video/screen_streamer.h"
#include "platform/linux/keyring/secure_store_factory.h"
#include "platform/linux/media/libavcodec_encoder_backend.h"
#include "platform/linux/x11/x11_capture_service.h"
#include "platform/linux/x11/x11_clipboard.h"
#include "platform/linux/x11/x11_input_sink.h"

namespace quorvanta {
namespace {

struct ConnectionCloser {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

constexpr const char* kNothingToGrant =
    "Screen capture needs no permission on this X11 desktop: Quorvanta Host can capture the screen as "
    "soon as the X display is reachable.";
constexpr const char* kNoDisplay =
    "Quorvanta Host cannot reach an X display. Start it from your desktop session (it needs $DISPLAY).";

}  // namespace

LinuxHostEnvironment::LinuxHostEnvironment(std::filesystem::path executable,
                                           std::filesystem::path dataDirectory,
                                           wayland::BackendChoice backend, std::string tailscaleProgram)
    : backend_(std::move(backend)),
      dataDirectory_(std::move(dataDirectory)),
      tailscaleProgram_(std::move(tailscaleProgram)),
      store_(makeSecureStore(dataDirectory_)),
      loginItem_(std::move(executable)) {}

LinuxHostEnvironment::~LinuxHostEnvironment() = default;

std::string LinuxHostEnvironment::lookupTailscaleAddress() {
  return quorvanta::lookupTailscaleAddress(tailscaleProgram_);
}

LinuxHostEnvironment::DisplayCheck LinuxHostEnvironment::checkDisplay() {
  std::lock_guard guard(displayLock_);
  const auto now = std::chrono::steady_clock::now();
  if (lastCheck_ && now - lastCheckTime_ < std::chrono::seconds(1)) return *lastCheck_;
  lastCheck_ = queryDisplay();
  lastCheckTime_ = now;
  return *lastCheck_;
}

LinuxHostEnvironment::DisplayCheck LinuxHostEnvironment::queryDisplay() {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return {};
  std::unique_ptr<xcb_connection_t, ConnectionCloser> connection(xcb_connect(display, nullptr));
  if (!connection || xcb_connection_has_error(connection.get())) return {};
  constexpr const char* kXTest = "XTEST";
  const auto cookie =
      xcb_query_extension(connection.get(), static_cast<std::uint16_t>(std::strlen(kXTest)), kXTest);
  std::unique_ptr<xcb_query_extension_reply_t, decltype(&std::free)> reply(
      xcb_query_extension_reply(connection.get(), cookie, nullptr), &std::free);
  return {true, reply && reply->present};
}

bool LinuxHostEnvironment::screenCaptureAllowed() {
  if (!onX11()) return waylandCaptureAllowed();
  return checkDisplay().reachable;
}

bool LinuxHostEnvironment::inputInjectionAllowed() {
  if (!onX11()) return waylandInputAllowed();
  return checkDisplay().xtest;
}

std::string LinuxHostEnvironment::requestScreenCapture() {
  if (!onX11()) return waylandCaptureRequest();
  return checkDisplay().reachable ? kNothingToGrant : kNoDisplay;
}

std::string LinuxHostEnvironment::captureRefusal() {
  return backend_.backend == wayland::DesktopBackend::none ? wayland::kUnsupportedWayland : "";
}

std::shared_ptr<PrivacyCurtain> LinuxHostEnvironment::curtain() {
  // The curtain's windows would be recorded along with the rest of a Wayland screen.
  return onX11() ? curtain_ : nullptr;
}

std::string LinuxHostEnvironment::computerName() {
  return quorvanta::computerName();
}

std::shared_ptr<ScreenStreamer> LinuxHostEnvironment::screenStreamer() {
  if (streamer_) return streamer_;
  if (!onX11()) return waylandStreamer();
  std::shared_ptr<CaptureService> capture;
  try {
    capture = std::make_shared<x11::X11CaptureService>();
  } catch (const std::exception&) {
    return nullptr;  // no X display: sessions get "hostPermission" when they ask for a stream
  }
  auto encoder = std::make_unique<H264Encoder>(std::make_shared<LibavcodecEncoderBackend>());
  streamer_ = ScreenStreamer::create(std::move(capture), std::move(encoder));
  return streamer_;
}

}  // namespace quorvanta

namespace quorvanta {

std::shared_ptr<InputEventSink> LinuxHostEnvironment::inputSink() {
  if (!onX11()) return waylandInputSink();
  try {
    return std::make_shared<x11::X11InputSink>();
  } catch (const std::exception&) {
    return nullptr;  // no display, or no XTEST: remote control stays unavailable
  }
}

DisplayRect LinuxHostEnvironment::displayBounds(DisplayID display) {
  if (!onX11()) return waylandDisplayBounds(display);
  std::lock_guard guard(displayLock_);
  try {
    if (!bounds_) bounds_ = std::make_unique<x11::X11DisplayBounds>();
    return bounds_->bounds(display);
  } catch (const std::exception&) {
    bounds_.reset();
    return {};
  }
}

std::shared_ptr<Clipboard> LinuxHostEnvironment::clipboard() {
  if (!onX11()) return waylandClipboard();
  try {
    return std::make_shared<x11::X11Clipboard>();
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace quorvanta
