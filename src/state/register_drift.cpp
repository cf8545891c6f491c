#include "state/registry.hpp"
#include "state/visit_drift.hpp"

namespace kavro::state {

void register_drift(Registry& /*r*/) {}

}  // namespace kavro::state
