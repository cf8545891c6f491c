#include "state/registry.hpp"
#include "state/visit_pipeline.hpp"

namespace kavro::state {

void register_pipeline(Registry& r) {
    r.add<ClassificationPipeline>("ClassificationPipeline");
    r.add<RegressionPipeline>("RegressionPipeline");
}

}  // namespace kavro::state
