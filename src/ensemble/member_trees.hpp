// Construction of the trees the ensembles own, with the parameters every
// ensemble fixes for its members.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tree/fimtdd_regressor.hpp"
#include "tree/hoeffding_tree_classifier.hpp"
#include "tree/hoeffding_tree_regressor.hpp"

namespace kavro::ensemble {

// Classification member: info-gain Hoeffding tree, tie threshold 0.05, no
// naive-Bayes threshold, every other setting at the tree's defaults.
inline std::unique_ptr<HoeffdingTreeClassifier> make_classifier_tree(int grace_period,
                                                                     double split_confidence,
                                                                     int max_depth) {
    return std::make_unique<HoeffdingTreeClassifier>(grace_period, 0, max_depth, "info_gain",
                                                     split_confidence, 0.05);
}

// Limits each split attempt of the tree to `k` random features drawn with its
// own generator reseeded with `seed`.
inline void restrict_split_features(HoeffdingTreeClassifier& tree, int k, std::uint32_t seed) {
    tree.set_max_split_features(k);
    tree.reseed(seed);
}

// Regression member: Hoeffding regression tree with split confidence 1e-7 and
// tie threshold 0.05.
inline std::unique_ptr<HoeffdingTreeRegressor> make_regressor_tree(int grace_period, int max_depth,
                                                                   double learning_rate) {
    return std::make_unique<HoeffdingTreeRegressor>(grace_period, max_depth, 1e-7, 0.05,
                                                    learning_rate);
}

// Model tree with the default change-detection settings.
inline std::unique_ptr<FIMTDDRegressor> make_model_tree(int grace_period, double split_confidence,
                                                        int max_depth,
                                                        const std::string& leaf_prediction,
                                                        std::int32_t seed) {
    return std::make_unique<FIMTDDRegressor>(grace_period, split_confidence, 0.05, max_depth,
                                             leaf_prediction, 0.02, 0.001, false, 0.005, 50.0,
                                             0.995, 150, 1500, true, seed);
}

}  // namespace kavro::ensemble
