// Node of the Hoeffding classification tree and the split suggestion type used
// while a leaf evaluates its candidate splits.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "core/types.hpp"
#include "tree/gaussian_estimator.hpp"

namespace kavro {

using ClassWeights = std::unordered_map<ClassLabel, double>;
using FeatureEstimators = std::unordered_map<std::string, GaussianEstimator>;

struct ClassifierNode {
    bool is_leaf = true;
    // Leaf statistics.
    std::unordered_map<ClassLabel, FeatureEstimators> class_observers;
    ClassWeights class_counts;
    double weight = 0.0;
    double mc_correct = 0.0;
    double nb_correct = 0.0;
    // Internal-node test: value <= threshold goes left.
    std::string split_feature;
    double threshold = 0.0;
    std::unique_ptr<ClassifierNode> left;
    std::unique_ptr<ClassifierNode> right;

    ClassifierNode() = default;
    ClassifierNode(const ClassifierNode&) = delete;
    ClassifierNode& operator=(const ClassifierNode&) = delete;
    // Releases the subtree without recursion.
    ~ClassifierNode();
};

struct SplitCandidate {
    bool is_null = false;
    std::string feature;
    double threshold = 0.0;
    double merit = 0.0;
    ClassWeights left_counts;
    ClassWeights right_counts;
};

}  // namespace kavro
