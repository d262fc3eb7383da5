#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <asio/thread_pool.hpp>

#include "core/video/capture_service.h"
#include "platform/linux/x11/x11_outputs.h"
#include "platform/linux/x11/xcb_handles.h"

namespace quorvanta::x11 {

// Screen capture of an X11 display. The displays are the RandR outputs that show something; the
// primary output comes first. Streams read the output's area of the root window with MIT-SHM
// when it changed (see x11_capture_stream.h), draw the XFixes cursor in, and scale and convert
// the result to NV12. While some windows are left out, each frame is composed on the server from
// the other top-level windows instead (see WindowComposer).
class X11CaptureService final : public CaptureService {
 public:
  // `display` as in $DISPLAY (empty: $DISPLAY itself). Throws std::runtime_error when the display
  // cannot be reached or lacks RandR 1.3, MIT-SHM or XFixes.
  explicit X11CaptureService(std::string display = {});
  ~X11CaptureService() override;

  asio::awaitable<ShareableContent> shareableContent() override;
  std::optional<PixelSize> pixelSize(DisplayID display) override;
  std::optional<std::string> displayName(DisplayID display) override;
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            std::weak_ptr<CaptureStreamOutput> output,
                                            asio::any_io_executor captureQueue) override;

 private:
  // On any thread; each takes lock_.
  ShareableContent queryContent();
  std::optional<OutputGeometry> findOutput(DisplayID display);
  // Under lock_: the outputs as last listed, listed again only after RandR reported a change, so
  // that asking for a display's size or name costs no round trip while nothing changed.
  std::vector<OutputGeometry> queryOutputs();
  std::optional<std::string> readName(const OutputGeometry& output);

  const std::string display_;
  std::mutex lock_;  // serializes the queries on connection_ and guards the caches
  Connection connection_;
  std::uint8_t randrEvent_ = 0;
  std::optional<std::vector<OutputGeometry>> outputs_;
  std::map<DisplayID, std::optional<std::string>> names_;
  // Runs the listing queries, so that a caller's wait on them can be bounded.
  asio::thread_pool worker_{1};
};

}  // namespace quorvanta::x11
