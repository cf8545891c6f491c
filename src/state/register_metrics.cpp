#include "state/registry.hpp"
#include "state/visit_metrics.hpp"

namespace kavro::state {

void register_metrics(Registry& /*r*/) {}

}  // namespace kavro::state
