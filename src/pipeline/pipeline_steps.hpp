// The transformer chain shared by both pipelines. Every step rewrites the caller's
// working record in place, so a pipeline call copies the record at most once.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/interfaces.hpp"

namespace kavro {

using TransformerSteps = std::vector<std::shared_ptr<ITransformer>>;

// Throws std::invalid_argument naming the owner when a step or the learner is null.
template <class Learner>
void require_pipeline_parts(const char* owner, const TransformerSteps& steps,
                            const std::shared_ptr<Learner>& learner) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (!steps[i]) {
            throw std::invalid_argument(std::string(owner) + ": step " + std::to_string(i) +
                                        " is null; every step must be a transformer.");
        }
    }
    if (!learner) throw std::invalid_argument(std::string(owner) + ": 'learner' must not be null.");
}

// Most pipelines nested through their learners: every call recurses once per level,
// and the depth stays well within a default 8 MiB stack in every build.
inline constexpr std::size_t kMaxPipelineDepth = 1000;

inline void require_pipeline_depth(const char* owner, std::size_t depth) {
    if (depth > kMaxPipelineDepth) {
        throw std::invalid_argument(std::string(owner) + ": pipelines nest at most " +
                                    std::to_string(kMaxPipelineDepth) +
                                    " deep through their learners (this one would be " +
                                    std::to_string(depth) + ").");
    }
}

// Each step learns from r (with the target when it asks for one), then transforms r.
inline void learn_through_steps(const TransformerSteps& steps, FeatureMap& r, double y) {
    for (const auto& step : steps) {
        if (step->requires_target()) {
            step->learn_one(r, y);
        } else {
            step->learn_one(r);
        }
        step->transform_inplace(r);
    }
}

inline void transform_through_steps(const TransformerSteps& steps, FeatureMap& r) {
    for (const auto& step : steps) step->transform_inplace(r);
}

inline void set_steps_feature_order(const TransformerSteps& steps,
                                    const std::vector<std::string>& names) {
    for (const auto& step : steps) step->set_feature_order(names);
}

inline void reset_steps(const TransformerSteps& steps) {
    for (const auto& step : steps) step->reset();
}

}  // namespace kavro
