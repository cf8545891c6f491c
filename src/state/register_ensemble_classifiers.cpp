#include "state/registry.hpp"
#include "state/visit_ensemble_classifiers.hpp"

namespace kavro::state {

void register_ensemble_classifiers(Registry& r) {
    r.add<ARFClassifier>("ARFClassifier");
    r.add<SRPClassifier>("SRPClassifier");
    r.add<LeveragingBaggingClassifier>("LeveragingBaggingClassifier");
}

}  // namespace kavro::state
