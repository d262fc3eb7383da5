#include "core/util/quorvanta_error.h"

namespace quorvanta {

QuorvantaError::QuorvantaError(const std::string& sentence) : std::runtime_error(sentence) {}

}  // namespace quorvanta
