// Transformers chained before a classifier; itself a classifier. Steps and learner are
// shared, not copied: training through the pipeline is visible on the objects passed in.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/interfaces.hpp"
#include "pipeline/pipeline_steps.hpp"

namespace kavro {

class ClassificationPipeline : public IClassifier {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    // Throws std::invalid_argument when a step or the learner is null, or when the
    // pipeline would nest more than kMaxPipelineDepth pipelines.
    ClassificationPipeline(TransformerSteps steps, std::shared_ptr<IClassifier> learner);

    // Each step learns from and transforms a copy of x (SelectKBest gets y as a double);
    // the learner learns the result with y.
    void learn_one(const FeatureMap& x, ClassLabel y) override;
    // The learner's answer for a transformed copy of x; nothing learns.
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    // Resets every step in order, then the learner.
    void reset() override;
    // Forwards names to every step; the learner is not called.
    void set_feature_order(const std::vector<std::string>& names);

    // The same operations on a record the caller gives up as the working copy.
    void learn_one_inplace(FeatureMap& r, ClassLabel y);
    ClassLabel predict_one_inplace(FeatureMap& r);
    ProbabilityMap predict_proba_one_inplace(FeatureMap& r);

    // 1 plus the depth of the learner when it is itself a pipeline.
    std::size_t depth() const { return depth_; }

private:
    TransformerSteps steps_;
    std::shared_ptr<IClassifier> learner_;
    std::size_t depth_ = 1;
};

}  // namespace kavro
