#pragma once

#include <string>
#include <string_view>

namespace quorvanta {

// Looks up this machine's Tailscale IPv4 address by running `program` (searched on $PATH when it
// has no slash) with the arguments "ip" and "-4", with TAILSCALE_BE_CLI=1 added to this process's
// environment, standard error sent to /dev/null and standard output read to its end. The exit
// status is not looked at: only the output decides, through tailscaleAddressFromOutput().
//
// The result is the address in dotted-decimal form, or "" when the program cannot be started or
// its output is not one usable address. Never throws and never reports an error of its own.
// The program gets `timeLimit` seconds: a hung `tailscale` must not hold up the next retry, nor
// the host's exit. It is looked for only in absolute $PATH entries.
std::string lookupTailscaleAddress(const std::string& program = "tailscale", double timeLimit = 5);

// The address in the output of `tailscale ip -4`: the output must be UTF-8; white space and line
// breaks at both ends are trimmed, and the rest must pass isTailscaleAddress(). "" otherwise.
std::string tailscaleAddressFromOutput(std::string_view output);

// True for an address of the 100.64.0.0/10 block that Tailscale hands out, written as exactly
// four decimal numbers separated by ".": the first 100, the second 64 to 127, the third and
// fourth 0 to 255. Each number is one to three ASCII digits without a sign or a leading zero, so
// that every reader of the text (inet_pton included) sees the same address.
bool isTailscaleAddress(std::string_view text);

}  // namespace quorvanta
