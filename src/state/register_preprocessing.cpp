#include "state/registry.hpp"
#include "state/visit_preprocessing.hpp"

namespace kavro::state {

void register_preprocessing(Registry& /*r*/) {}

}  // namespace kavro::state
