#include "state/registry.hpp"
#include "state/visit_linear.hpp"

namespace kavro::state {

void register_linear(Registry& r) {
    r.add<NaiveBayes>("NaiveBayes");
}

}  // namespace kavro::state
