#include "platform/linux/wayland/gnome/gnome_capture_service.h"

#include <stdexcept>

#include "platform/linux/wayland/pipewire/pipewire_capture_stream.h"

namespace quorvanta::wayland {

GnomeCaptureService::GnomeCaptureService(std::shared_ptr<MutterBus> bus) : bus_(std::move(bus)) {}

std::vector<MutterMonitor> GnomeCaptureService::refresh() {
  auto monitors = bus_->monitors();
  std::lock_guard guard(lock_);
  monitors_ = monitors;
  return monitors;
}

asio::awaitable<ShareableContent> GnomeCaptureService::shareableContent() {
  ShareableContent content;
  for (const MutterMonitor& monitor : refresh())
    content.displays.push_back({displayIdentifier(monitor.connector), monitor.width, monitor.height});
  co_return content;
}

std::optional<MutterMonitor> GnomeCaptureService::monitor(DisplayID display) {
  std::lock_guard guard(lock_);
  for (const MutterMonitor& monitor : monitors_)
    if (displayIdentifier(monitor.connector) == display) return monitor;
  return std::nullopt;
}

std::optional<PixelSize> GnomeCaptureService::pixelSize(DisplayID display) {
  try {
    refresh();
  } catch (const std::exception&) {
    return std::nullopt;
  }
  const auto found = monitor(display);
  if (!found) return std::nullopt;
  return PixelSize{found->width, found->height};
}

std::optional<std::string> GnomeCaptureService::displayName(DisplayID display) {
  const auto found = monitor(display);
  if (!found) return std::nullopt;
  return found->name;
}

std::shared_ptr<CaptureStream> GnomeCaptureService::makeStream(const ContentFilter& filter,
                                                               const StreamConfiguration& configuration,
                                                               std::weak_ptr<CaptureStreamOutput> output,
                                                               asio::any_io_executor captureQueue) {
  const auto found = monitor(filter.displayID);
  if (!found) throw std::runtime_error(kDisplayGone);
  auto open = [bus = bus_, connector = found->connector](std::function<void()> onClosed) {
    const auto session = bus->startSession(connector, std::move(onClosed));
    return PipeWireSource{session, session->pipeWireNode(), -1, {}};
  };
  return makePipeWireCaptureStream(std::move(open), configuration, std::move(output),
                                   std::move(captureQueue));
}

}  // namespace quorvanta::wayland
