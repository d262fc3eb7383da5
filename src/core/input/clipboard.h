#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace quorvanta {

// The desktop's clipboard as plain UTF-8 text. Both calls may be made from any thread and return
// within a bounded time.
class Clipboard {
 public:
  virtual ~Clipboard() = default;

  // The clipboard's current text, or nothing when it holds no text or the text could not be
  // read within `limit`.
  virtual std::optional<std::string> readText(std::chrono::milliseconds limit) = 0;

  // Replaces the clipboard's contents with `text`. On return, applications that paste get it.
  virtual void setText(std::string text) = 0;
};

}  // namespace quorvanta
