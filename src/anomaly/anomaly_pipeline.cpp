#include "anomaly/anomaly_pipeline.hpp"

namespace kavro {

AnomalyPipeline::AnomalyPipeline(TransformerSteps steps, std::shared_ptr<IAnomalyDetector> detector)
    : steps_(std::move(steps)), detector_(std::move(detector)) {
    require_pipeline_parts("AnomalyPipeline", steps_, detector_);
}

void AnomalyPipeline::learn_one(const FeatureMap& x) {
    FeatureMap r = x;
    for (const auto& step : steps_) {
        step->learn_one(r);
        step->transform_inplace(r);
    }
    detector_->learn_one(r);
}

double AnomalyPipeline::score_one(const FeatureMap& x) const {
    FeatureMap r = x;
    transform_through_steps(steps_, r);
    return detector_->score_one(r);
}

void AnomalyPipeline::reset() {
    reset_steps(steps_);
    detector_->reset();
}

}  // namespace kavro
