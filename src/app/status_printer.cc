#include "app/status_printer.h"

#include <iostream>

namespace quorvanta {

void StatusPrinter::print(const HostState& state) {
  const std::string line = state.status + (state.error ? " (" + *state.error + ")" : "") +
                           (state.address.empty() ? "" : " [" + state.address + "]");
  if (line == last_) return;
  last_ = line;
  std::cout << "quorvanta-host: " << line << std::endl;
}

void StatusPrinter::printDesktop(const std::string& name, const std::string& note) {
  std::cout << "quorvanta-host: desktop: " << name << (note.empty() ? "" : " (" + note + ")") << std::endl;
}

}  // namespace quorvanta
