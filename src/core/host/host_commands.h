#pragma once

#include <functional>

#include <nlohmann/json.hpp>

#include "core/host/host_model.h"

namespace quorvanta {

// The published values as the control command shows them.
nlohmann::json stateJson(const HostState& state);

// Carries out one request of the control command on `model` (on its main executor) and returns
// the reply: {"ok":true,...} or {"ok":false,"error":"<sentence>"}. `showPanel` brings the panel
// to the front.
nlohmann::json handleControlRequest(HostModel& model, const nlohmann::json& request,
                                    const std::function<void()>& showPanel);

}  // namespace quorvanta
