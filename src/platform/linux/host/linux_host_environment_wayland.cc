#include "platform/linux/host/linux_host_environment.h"

#include "core/video/h264_encoder.h"
#include "core/video/screen_streamer.h"
#include "platform/linux/media/libavcodec_encoder_backend.h"
#include "platform/linux/presence/bus_connection.h"
#include "platform/linux/wayland/gnome/gnome_capture_service.h"
#include "platform/linux/wayland/gnome/gnome_clipboard.h"
#include "platform/linux/wayland/gnome/gnome_input_sink.h"
#include "platform/linux/wayland/gnome/mutter_session.h"

namespace quorvanta {
namespace {

constexpr const char* kGnomeNothingToGrant =
    "Screen capture needs no permission on this GNOME desktop: Quorvanta Host shares the screen through "
    "GNOME's remote desktop service.";

}  // namespace

bool LinuxHostEnvironment::waylandCaptureAllowed() {
  return backend_.backend == wayland::DesktopBackend::gnome;
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

std::shared_ptr<ScreenStreamer> LinuxHostEnvironment::waylandStreamer() {
  const auto bus = mutterBus();
  if (!bus) return nullptr;  // sessions get "hostPermission" with the backend's reason
  gnomeCapture_ = std::make_shared<wayland::GnomeCaptureService>(bus);
  auto encoder = std::make_unique<H264Encoder>(std::make_shared<LibavcodecEncoderBackend>());
  streamer_ = ScreenStreamer::create(gnomeCapture_, std::move(encoder));
  return streamer_;
}

std::shared_ptr<InputEventSink> LinuxHostEnvironment::waylandInputSink() {
  const auto bus = mutterBus();
  if (!bus) return nullptr;
  return std::make_shared<wayland::GnomeInputSink>(bus);
}

DisplayRect LinuxHostEnvironment::waylandDisplayBounds(DisplayID display) {
  // Pointer positions go to Mutter in the recorded monitor's own coordinates.
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
