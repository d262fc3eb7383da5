#include "platform/linux/host/linux_host_environment.h"

#include "core/video/h264_encoder.h"
#include "core/video/screen_streamer.h"
#include "platform/linux/media/libavcodec_encoder_backend.h"
#include "platform/linux/presence/bus_connection.h"
#include "platform/linux/wayland/gnome/gnome_capture_service.h"
#include "platform/linux/wayland/gnome/gnome_clipboard.h"
#include "platform/linux/wayland/gnome/mutter_session.h"
#include "platform/linux/wayland/portal/portal_capture_service.h"
#include "platform/linux/wayland/remote_input_sink.h"

namespace quorvanta {
namespace {

constexpr const char* kGnomeNothingToGrant =
    "Screen capture needs no permission on this GNOME desktop: Quorvanta Host shares the screen through "
    "GNOME's remote desktop service.";

}  // namespace

// The portal asks the person when a capture starts; until then nothing stands in the way.
bool LinuxHostEnvironment::waylandCaptureAllowed() {
  return backend_.backend == wayland::DesktopBackend::gnome ||
         backend_.backend == wayland::DesktopBackend::portal;
}

bool LinuxHostEnvironment::waylandInputAllowed() {
  return backend_.input;
}

std::string LinuxHostEnvironment::waylandCaptureRequest() {
  return backend_.backend == wayland::DesktopBackend::gnome ? kGnomeNothingToGrant : backend_.note;
}

std::shared_ptr<wayland::MutterBus> LinuxHostEnvironment::mutterBus() {
  if (backend_.backend != wayland::DesktopBackend::gnome) return nullptr;
  if (!mutter_) {
    try {
      mutter_ = wayland::MutterBus::connect(presence::BusAddresses::fromEnvironment().session);
    } catch (const std::exception&) {
      return nullptr;
    }
  }
  return mutter_;
}

std::shared_ptr<wayland::PortalDesktop> LinuxHostEnvironment::portalDesktop() {
  if (backend_.backend != wayland::DesktopBackend::portal) return nullptr;
  if (!portal_) {
    try {
      portal_ = std::make_shared<wayland::PortalDesktop>(
          wayland::PortalSettings{presence::BusAddresses::fromEnvironment().session,
                                  dataDirectory_ / "portal-restore-token", backend_.portalRemoteDesktop});
    } catch (const std::exception&) {
      return nullptr;
    }
  }
  return portal_;
}

std::shared_ptr<ScreenStreamer> LinuxHostEnvironment::waylandStreamer() {
  std::shared_ptr<CaptureService> capture;
  if (const auto bus = mutterBus()) {
    gnomeCapture_ = std::make_shared<wayland::GnomeCaptureService>(bus);
    capture = gnomeCapture_;
  } else if (const auto portal = portalDesktop()) {
    portalCapture_ = std::make_shared<wayland::PortalCaptureService>(portal);
    capture = portalCapture_;
  } else {
    return nullptr;  // sessions get "hostPermission" with the backend's reason
  }
  auto encoder = std::make_unique<H264Encoder>(std::make_shared<LibavcodecEncoderBackend>());
  streamer_ = ScreenStreamer::create(std::move(capture), std::move(encoder));
  return streamer_;
}

std::shared_ptr<InputEventSink> LinuxHostEnvironment::waylandInputSink() {
  if (const auto bus = mutterBus())
    return std::make_shared<wayland::RemoteInputSink>([bus] { return bus->currentSession(); });
  if (const auto portal = portalDesktop(); portal && backend_.input)
    return std::make_shared<wayland::RemoteInputSink>([portal] { return portal->currentSession(); });
  return nullptr;
}

DisplayRect LinuxHostEnvironment::waylandDisplayBounds(DisplayID display) {
  // Pointer positions go to the desktop in the recorded stream's own coordinates.
  if (portalCapture_) {
    const auto size = portalCapture_->pixelSize(display);
    return size ? DisplayRect{0, 0, static_cast<double>(size->width), static_cast<double>(size->height)}
                : DisplayRect{};
  }
  if (!gnomeCapture_) return {};
  const auto monitor = gnomeCapture_->monitor(display);
  if (!monitor) return {};
  return {0, 0, static_cast<double>(monitor->width), static_cast<double>(monitor->height)};
}

std::shared_ptr<Clipboard> LinuxHostEnvironment::waylandClipboard() {
  const auto bus = mutterBus();
  if (!bus) return nullptr;
  return std::make_shared<wayland::GnomeClipboard>(bus);
}

}  // namespace quorvanta
