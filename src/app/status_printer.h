#pragma once

#include <string>

#include "core/host/host_model.h"

namespace quorvanta {

// Prints the status line whenever it, the error or the address changes, so that a terminal (or a
// log) shows what the panel would.
class StatusPrinter {
 public:
  void print(const HostState& state);
  // Names the desktop backend once, with its note when it has one.
  static void printDesktop(const std::string& name, const std::string& note);

 private:
  std::string last_;
};

}  // namespace quorvanta
