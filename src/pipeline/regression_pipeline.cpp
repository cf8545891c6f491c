#include "pipeline/regression_pipeline.hpp"

#include <utility>

namespace kavro {

RegressionPipeline::RegressionPipeline(TransformerSteps steps, std::shared_ptr<IRegressor> learner)
    : steps_(std::move(steps)), learner_(std::move(learner)) {
    require_pipeline_parts("RegressionPipeline", steps_, learner_);
    if (const auto* inner = dynamic_cast<const RegressionPipeline*>(learner_.get())) {
        depth_ = inner->depth() + 1;
    }
    require_pipeline_depth("RegressionPipeline", depth_);
}

void RegressionPipeline::learn_one_inplace(FeatureMap& r, double y) {
    learn_through_steps(steps_, r, y);
    learner_->learn_one(r, y);
}

double RegressionPipeline::predict_one_inplace(FeatureMap& r) {
    transform_through_steps(steps_, r);
    return learner_->predict_one(r);
}

void RegressionPipeline::learn_one(const FeatureMap& x, double y) {
    FeatureMap r = x;
    learn_one_inplace(r, y);
}

double RegressionPipeline::predict_one(const FeatureMap& x) {
    FeatureMap r = x;
    return predict_one_inplace(r);
}

void RegressionPipeline::reset() {
    reset_steps(steps_);
    learner_->reset();
}

void RegressionPipeline::set_feature_order(const std::vector<std::string>& names) {
    set_steps_feature_order(steps_, names);
}

}  // namespace kavro
