#include "state/registry.hpp"
#include "state/visit_preprocessing.hpp"

namespace kavro::state {

void register_preprocessing(Registry& r) {
    r.add<StandardScaler>("StandardScaler");
    r.add<MinMaxScaler>("MinMaxScaler");
    r.add<MaxAbsScaler>("MaxAbsScaler");
    r.add<VarianceThreshold>("VarianceThreshold");
    r.add<SelectKBest>("SelectKBest");
}

}  // namespace kavro::state
