#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/input/clipboard.h"
#include "platform/linux/x11/xcb_handles.h"

namespace quorvanta::x11 {

// The X11 CLIPBOARD selection as UTF-8 text. The object keeps its own connection and a hidden
// window, and a thread of its own answers the other clients' requests while it owns the
// selection (TARGETS, UTF8_STRING, TEXT, STRING; large texts in INCR steps) and carries out reads
// of another owner's text. Callers only wait for their own request, for a bounded time.
class X11Clipboard final : public Clipboard {
 public:
  // Texts larger than this go to requestors in INCR steps of this size.
  static constexpr std::size_t kIncrChunk = std::size_t{64} * 1024;
  // A read gives up on texts larger than this.
  static constexpr std::size_t kMaxReadBytes = std::size_t{16} * 1024 * 1024;

  // `display` as in $DISPLAY; empty means $DISPLAY. Throws std::runtime_error when the display
  // cannot be reached.
  explicit X11Clipboard(const std::string& display = {});
  ~X11Clipboard() override;
  X11Clipboard(const X11Clipboard&) = delete;
  X11Clipboard& operator=(const X11Clipboard&) = delete;

  std::optional<std::string> readText(std::chrono::milliseconds limit) override;
  // Takes the selection; returns once the server has made this object its owner.
  void setText(std::string text) override;

 private:
  struct Atoms {
    xcb_atom_t clipboard, targets, utf8String, text, incr, property, wake;
  };
  // A large text going to one requestor, one chunk per deletion of its property.
  struct Outgoing {
    xcb_window_t requestor;
    xcb_atom_t property;
    xcb_atom_t type;
    std::shared_ptr<const std::string> data;
    std::size_t offset;
  };
  // The read being carried out by the thread.
  struct Incoming {
    std::uint64_t generation = 0;
    bool active = false;
    bool incremental = false;
    xcb_atom_t target = XCB_NONE;
    std::string data;
  };

  void run();
  void wake();
  void startRead(std::uint64_t generation);
  void finishRead(std::optional<std::string> text);
  void onSelectionRequest(const xcb_selection_request_event_t& request);
  void onSelectionNotify(const xcb_selection_notify_event_t& notify);
  void onPropertyNotify(const xcb_property_notify_event_t& notify);
  // Reads and deletes `property` of this object's window: its type and bytes.
  std::optional<std::pair<xcb_atom_t, std::string>> takeProperty();
  bool serve(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target);
  void sendChunk(Outgoing& transfer);

  Connection connection_;
  xcb_window_t window_ = XCB_NONE;
  Atoms atoms_{};

  std::mutex lock_;
  std::condition_variable readDone_;
  std::shared_ptr<const std::string> text_;  // while this object owns the selection
  std::uint64_t requested_ = 0;              // generation of the latest read asked for
  std::uint64_t answered_ = 0;               // generation of the latest read finished
  std::optional<std::string> answer_;
  bool stopping_ = false;

  // Touched by the thread only.
  Incoming incoming_;
  std::vector<Outgoing> outgoing_;

  std::thread thread_;
};

}  // namespace quorvanta::x11
