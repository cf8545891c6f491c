#include "state/registry.hpp"
#include "state/visit_pipeline.hpp"

namespace kavro::state {

void register_pipeline(Registry& /*r*/) {}

}  // namespace kavro::state
