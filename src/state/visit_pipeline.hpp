// Saved state of the pipelines: their steps and learner are objects of their own, written
// through the object references of the state module (shared parts stay shared).
#pragma once

#include <memory>

#include "pipeline/classification_pipeline.hpp"
#include "pipeline/regression_pipeline.hpp"
#include "state/archive.hpp"

namespace kavro {

namespace state {
namespace detail {
// Learners a pipeline is built with before its saved parts are read in their place.
class PendingClassifier : public IClassifier {
public:
    void learn_one(const FeatureMap&, ClassLabel) override {}
    ClassLabel predict_one(const FeatureMap&) override { return 0; }
    ProbabilityMap predict_proba_one(const FeatureMap&) override { return {}; }
    void reset() override {}
};
class PendingRegressor : public IRegressor {
public:
    void learn_one(const FeatureMap&, double) override {}
    double predict_one(const FeatureMap&) override { return 0.0; }
    void reset() override {}
};
}  // namespace detail

template <>
struct Construct<ClassificationPipeline> {
    static std::unique_ptr<ClassificationPipeline> make_unique() {
        return std::make_unique<ClassificationPipeline>(
            TransformerSteps{}, std::make_shared<detail::PendingClassifier>());
    }
};

template <>
struct Construct<RegressionPipeline> {
    static std::unique_ptr<RegressionPipeline> make_unique() {
        return std::make_unique<RegressionPipeline>(TransformerSteps{},
                                                    std::make_shared<detail::PendingRegressor>());
    }
};
}  // namespace state

// Reading yields non-null parts of the right kind or fails (io_object_ref).
template <class Ar>
void ClassificationPipeline::visit(Ar& ar) {
    ar("steps", steps_);
    ar("learner", learner_);
    if constexpr (Ar::mode == state::Mode::read) {
        const auto* inner = dynamic_cast<const ClassificationPipeline*>(learner_.get());
        depth_ = inner ? inner->depth() + 1 : 1;
        state::require(ar, depth_ <= kMaxPipelineDepth, "pipelines nested deeper than allowed");
    }
}

template <class Ar>
void RegressionPipeline::visit(Ar& ar) {
    ar("steps", steps_);
    ar("learner", learner_);
    if constexpr (Ar::mode == state::Mode::read) {
        const auto* inner = dynamic_cast<const RegressionPipeline*>(learner_.get());
        depth_ = inner ? inner->depth() + 1 : 1;
        state::require(ar, depth_ <= kMaxPipelineDepth, "pipelines nested deeper than allowed");
    }
}

}  // namespace kavro
