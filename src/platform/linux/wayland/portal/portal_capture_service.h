#pragma once

#include <asio/thread_pool.hpp>
#include <memory>
#include <optional>
#include <string>

#include "core/video/capture_service.h"
#include "platform/linux/wayland/portal/portal_session.h"

namespace quorvanta::wayland {

// Screen capture through the desktop portal: one display, the monitor the person chose in the
// portal's dialog (which appears when the display list is first asked for, unless a kept approval
// restores it). Frames come through the PipeWire remote the portal opens for the session. The
// dialog is waited for on a thread of this service's own, never on the caller's executor.
class PortalCaptureService final : public CaptureService {
 public:
  explicit PortalCaptureService(std::shared_ptr<PortalDesktop> desktop) : desktop_(std::move(desktop)) {}

  asio::awaitable<ShareableContent> shareableContent() override;
  std::optional<PixelSize> pixelSize(DisplayID display) override;
  std::optional<std::string> displayName(DisplayID display) override;
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            std::weak_ptr<CaptureStreamOutput> output,
                                            asio::any_io_executor captureQueue) override;

  // The one display's identifier.
  static DisplayID displayID();

 private:
  std::shared_ptr<PortalDesktop> desktop_;
  asio::thread_pool dialogs_{1};
};

}  // namespace quorvanta::wayland
