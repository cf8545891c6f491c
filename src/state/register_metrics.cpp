#include "state/registry.hpp"
#include "state/visit_metrics.hpp"

namespace kavro::state {

void register_metrics(Registry& r) {
    r.add<Accuracy>("Accuracy");
    r.add<MacroPrecision>("MacroPrecision");
    r.add<MacroRecall>("MacroRecall");
    r.add<MacroF1>("MacroF1");
    r.add<MAE>("MAE");
    r.add<RMSE>("RMSE");
    r.add<R2>("R2");
    r.add<WindowMetric>("WindowMetric");
    r.add<WindowRegressionMetric>("WindowRegressionMetric");
}

}  // namespace kavro::state
