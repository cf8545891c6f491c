#include "pipeline/classification_pipeline.hpp"

#include <utility>

namespace kavro {

ClassificationPipeline::ClassificationPipeline(TransformerSteps steps,
                                               std::shared_ptr<IClassifier> learner)
    : steps_(std::move(steps)), learner_(std::move(learner)) {
    require_pipeline_parts("ClassificationPipeline", steps_, learner_);
    if (const auto* inner = dynamic_cast<const ClassificationPipeline*>(learner_.get())) {
        depth_ = inner->depth() + 1;
    }
    require_pipeline_depth("ClassificationPipeline", depth_);
}

void ClassificationPipeline::learn_one_inplace(FeatureMap& r, ClassLabel y) {
    learn_through_steps(steps_, r, static_cast<double>(y));
    learner_->learn_one(r, y);
}

ClassLabel ClassificationPipeline::predict_one_inplace(FeatureMap& r) {
    transform_through_steps(steps_, r);
    return learner_->predict_one(r);
}

ProbabilityMap ClassificationPipeline::predict_proba_one_inplace(FeatureMap& r) {
    transform_through_steps(steps_, r);
    return learner_->predict_proba_one(r);
}

void ClassificationPipeline::learn_one(const FeatureMap& x, ClassLabel y) {
    FeatureMap r = x;
    learn_one_inplace(r, y);
}

ClassLabel ClassificationPipeline::predict_one(const FeatureMap& x) {
    FeatureMap r = x;
    return predict_one_inplace(r);
}

ProbabilityMap ClassificationPipeline::predict_proba_one(const FeatureMap& x) {
    FeatureMap r = x;
    return predict_proba_one_inplace(r);
}

void ClassificationPipeline::reset() {
    reset_steps(steps_);
    learner_->reset();
}

void ClassificationPipeline::set_feature_order(const std::vector<std::string>& names) {
    set_steps_feature_order(steps_, names);
}

}  // namespace kavro
