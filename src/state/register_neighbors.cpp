#include "state/registry.hpp"
#include "state/visit_neighbors.hpp"

namespace kavro::state {

void register_neighbors(Registry& r) {
    r.add<KNNClassifier>("KNNClassifier");
    r.add<KNNRegressor>("KNNRegressor");
}

}  // namespace kavro::state
