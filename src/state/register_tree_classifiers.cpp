#include "state/registry.hpp"
#include "state/visit_tree_classifiers.hpp"
#include "tree/efdt_classifier.hpp"

namespace kavro::state {

void register_tree_classifiers(Registry& r) {
    r.add<HoeffdingTreeClassifier>("HoeffdingTreeClassifier");
    r.add<EFDTClassifier>("EFDTClassifier");
    r.add<SGTClassifier>("SGTClassifier");
    r.add<HoeffdingAdaptiveTreeClassifier>("HoeffdingAdaptiveTreeClassifier");
}

}  // namespace kavro::state
