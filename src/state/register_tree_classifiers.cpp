#include "state/registry.hpp"
#include "state/visit_tree_classifiers.hpp"

namespace kavro::state {

void register_tree_classifiers(Registry& /*r*/) {}

}  // namespace kavro::state
