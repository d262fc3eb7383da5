#include "app/status_printer.h"

#include <iostream>

#include "core/protocol/utf8.h"

namespace quorvanta {

void StatusPrinter::print(const HostState& state) {
  const std::string line = state.status + (state.error ? " (" + *state.error + ")" : "") +
                           (state.address.empty() ? "" : " [" + state.address + "]");
  if (line == last_) return;
  last_ = line;
  // The status names the device in session, whose name came from the device.
  std::cout << "quorvanta-host: " << escapeForTerminal(line) << std::endl;
}

void StatusPrinter::printDesktop(const std::string& name, const std::string& note) {
  std::cout << "quorvanta-host: desktop: " << name << (note.empty() ? "" : " (" + note + ")") << std::endl;
}

}  // namespace quorvanta
