#pragma once

#include <stdexcept>
#include <string>

namespace quorvanta {

// The one error the system raises itself. It carries a complete English sentence meant for the
// user; what() is exactly that sentence, with nothing added.
class QuorvantaError : public std::runtime_error {
 public:
  explicit QuorvantaError(const std::string& sentence);

  // The sentence, as shown in the panel or sent to a client.
  [[nodiscard]] std::string message() const { return what(); }
};

}  // namespace quorvanta
