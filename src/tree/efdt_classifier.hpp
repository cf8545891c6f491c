// Extremely fast decision tree: a Hoeffding tree fixed to information gain at
// construction, with its own defaults. Adds no state and no behaviour.
#pragma once

#include <cstdint>

#include "tree/hoeffding_tree_classifier.hpp"

namespace kavro {

class EFDTClassifier : public HoeffdingTreeClassifier {
public:
    // grace_period 200, nb_threshold 0, max_depth 20, split_confidence 1e-5, tie_threshold 0.05.
    EFDTClassifier() : EFDTClassifier(200, 0, 20, 1e-05, 0.05) {}
    EFDTClassifier(std::int32_t grace_period, std::int32_t nb_threshold, std::int32_t max_depth,
                   double split_confidence, double tie_threshold)
        : HoeffdingTreeClassifier(grace_period, nb_threshold, max_depth, "info_gain",
                                  split_confidence, tie_threshold) {}
    ~EFDTClassifier() override = default;
};

}  // namespace kavro
