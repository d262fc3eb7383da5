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

}  // namespace quorvanta
