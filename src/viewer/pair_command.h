#pragma once

#include <ostream>
#include <string>

#include "viewer/host_book.h"

namespace quorvanta::viewer {

// quorvanta-viewer pair LINK: pairs with the host that made LINK, remembers it in `book` and
// says so on `out`; sentences about failures go to `err`. Returns the exit code: 0 when paired
// (also when another device holds the session), 1 when the host refused or could not be reached,
// 2 for a link that is not a pairing link or a list of hosts that cannot be used.
int runPairCommand(const std::string& link, HostBook& book, std::ostream& out, std::ostream& err);

}  // namespace quorvanta::viewer
