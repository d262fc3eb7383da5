#include "platform/linux/wayland/portal/portal_capture_service.h"

#include "core/util/run_on.h"
#include "platform/linux/wayland/gnome/mutter_session.h"
#include "platform/linux/wayland/pipewire/pipewire_capture_stream.h"

namespace quorvanta::wayland {

DisplayID PortalCaptureService::displayID() {
  return displayIdentifier("portal");
}

// Asking for the displays starts the session: only the person's choice in the dialog says which
// monitor it is and how large. A refusal goes to the caller as the failure's sentence.
asio::awaitable<ShareableContent> PortalCaptureService::shareableContent() {
  auto session = std::make_shared<std::shared_ptr<PortalSession>>();
  co_await runOn(dialogs_.get_executor(), [desktop = desktop_, session] { *session = desktop->session(); });
  ShareableContent content;
  content.displays.push_back({displayID(), (*session)->width(), (*session)->height()});
  co_return content;
}

std::optional<PixelSize> PortalCaptureService::pixelSize(DisplayID display) {
  const auto session = desktop_->currentSession();
  if (!session || display != displayID()) return std::nullopt;
  return PixelSize{session->width(), session->height()};
}

std::optional<std::string> PortalCaptureService::displayName(DisplayID display) {
  if (display != displayID()) return std::nullopt;
  return "Shared screen";
}

std::shared_ptr<CaptureStream> PortalCaptureService::makeStream(const ContentFilter& filter,
                                                                const StreamConfiguration& configuration,
                                                                std::weak_ptr<CaptureStreamOutput> output,
                                                                asio::any_io_executor captureQueue) {
  if (filter.displayID != displayID()) throw std::runtime_error(kDisplayGone);
  auto open = [desktop = desktop_](std::function<void()>) {
    const auto session = desktop->session();
    // A session whose stream ended (the person stopped sharing) is not used again.
    auto ended = [desktop, weak = std::weak_ptr<PortalSession>(session)] {
      if (const auto gone = weak.lock()) desktop->forget(gone);
    };
    return PipeWireSource{session, session->node(), session->openPipeWireRemote().release(),
                          std::move(ended)};
  };
  return makePipeWireCaptureStream(std::move(open), configuration, std::move(output),
                                   std::move(captureQueue));
}

}  // namespace quorvanta::wayland
