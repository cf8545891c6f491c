#include "state/registry.hpp"
#include "state/visit_ensemble_regressors.hpp"

namespace kavro::state {

void register_ensemble_regressors(Registry& r) {
    r.add<ARFRegressor>("ARFRegressor");
    r.add<SRPRegressor>("SRPRegressor");
    r.add<LeveragingBaggingRegressor>("LeveragingBaggingRegressor");
    r.add<SGBTClassifier>("SGBTClassifier");
    r.add<SGBRRegressor>("SGBRRegressor");
}

}  // namespace kavro::state
