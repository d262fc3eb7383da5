#pragma once

#include <optional>

#include "viewer/host_book.h"

class QWidget;

namespace quorvanta::viewer {

// What the person chose in the hosts list.
struct HostChoice {
  std::optional<PairedHost> host;  // "Connect"
  bool pair = false;               // "Pair with a host…"
};

// The list of paired hosts with "Connect", "Forget" and "Pair with a host…". Forgetting happens
// in the list at once (after a confirmation).
HostChoice chooseHost(HostBook& book, QWidget* parent);

}  // namespace quorvanta::viewer
