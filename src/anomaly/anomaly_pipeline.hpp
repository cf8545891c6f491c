// Transformers chained before an anomaly detector; itself an anomaly detector.
#pragma once

#include <memory>
#include <vector>

#include "core/interfaces.hpp"
#include "pipeline/pipeline_steps.hpp"

namespace kavro {

// Steps and detector are shared, not copied: learning through the pipeline is visible on the
// objects passed in.
class AnomalyPipeline : public IAnomalyDetector {
public:
    template <class Ar>
    void visit(Ar& ar);

    // Throws std::invalid_argument when a step or the detector is null.
    AnomalyPipeline(TransformerSteps steps, std::shared_ptr<IAnomalyDetector> detector);

    // Each step learns from and transforms a copy of x; the detector learns the result.
    void learn_one(const FeatureMap& x) override;
    // The detector's score of a transformed copy of x; nothing learns.
    double score_one(const FeatureMap& x) const override;
    void reset() override;

    const TransformerSteps& steps() const { return steps_; }
    const std::shared_ptr<IAnomalyDetector>& detector() const { return detector_; }

private:
    TransformerSteps steps_;
    std::shared_ptr<IAnomalyDetector> detector_;
};

}  // namespace kavro
