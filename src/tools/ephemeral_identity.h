#pragma once

#include <string>

#include "core/transport/tls_context.h"

namespace quorvanta {

// A throwaway self-signed P-256 key and certificate made in memory, for the loopback
// demonstration and tests. The host's own identity is made and kept elsewhere.
TlsIdentity makeEphemeralIdentity(const std::string& commonName);

}  // namespace quorvanta
