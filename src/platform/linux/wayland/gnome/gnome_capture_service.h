#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/video/capture_service.h"
#include "platform/linux/wayland/gnome/mutter_session.h"

namespace quorvanta::wayland {

// Screen capture on GNOME Wayland: the monitors of Mutter's display configuration (each named by
// a stable identifier made from its connector), recorded with the cursor drawn in through a
// remote-desktop session, frames received from PipeWire and scaled to NV12. Mutter sends frames
// only when the picture changes. Windows cannot be left out of a monitor's recording.
class GnomeCaptureService final : public CaptureService {
 public:
  explicit GnomeCaptureService(std::shared_ptr<MutterBus> bus);

  asio::awaitable<ShareableContent> shareableContent() override;
  std::optional<PixelSize> pixelSize(DisplayID display) override;
  std::optional<std::string> displayName(DisplayID display) override;
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            std::weak_ptr<CaptureStreamOutput> output,
                                            asio::any_io_executor captureQueue) override;

  // The monitor `display` names as last listed, or nothing.
  std::optional<MutterMonitor> monitor(DisplayID display);

 private:
  std::vector<MutterMonitor> refresh();

  std::shared_ptr<MutterBus> bus_;
  std::mutex lock_;
  std::vector<MutterMonitor> monitors_;  // guarded by lock_
};

}  // namespace quorvanta::wayland
