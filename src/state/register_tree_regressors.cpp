#include "state/registry.hpp"
#include "state/visit_tree_regressors.hpp"

namespace kavro::state {

void register_tree_regressors(Registry& /*r*/) {}

}  // namespace kavro::state
