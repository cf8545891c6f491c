#include "state/registry.hpp"
#include "state/visit_ensemble_regressors.hpp"

namespace kavro::state {

void register_ensemble_regressors(Registry& /*r*/) {}

}  // namespace kavro::state
