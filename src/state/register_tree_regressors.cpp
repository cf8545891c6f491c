#include "state/registry.hpp"
#include "state/visit_tree_regressors.hpp"

namespace kavro::state {

void register_tree_regressors(Registry& r) {
    r.add<HoeffdingTreeRegressor>("HoeffdingTreeRegressor");
    r.add<FIMTDDRegressor>("FIMTDDRegressor");
}

}  // namespace kavro::state
