#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorvanta::test {

// Moves the calling thread into a new, private network namespace whose loopback interface is up
// and also carries each of `addresses` (dotted IPv4, added as /32 aliases of "lo"). Nothing in
// the namespace reaches the machine's real interfaces, and it disappears with the process.
//
// Call it from the test's main thread before any thread that opens sockets is started: threads
// started afterwards inherit the namespace, threads started before keep the old one. The first
// successful call per process creates the namespace; later calls only add missing addresses.
//
// Returns an explanation when the namespace cannot be made (not root, unshare() not permitted
// in this container); the caller skips its test with it.
std::optional<std::string> enterPrivateNetworkNamespace(const std::vector<std::string>& addresses);

}  // namespace quorvanta::test
