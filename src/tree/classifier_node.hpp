// Node of the Hoeffding classification tree and the split suggestion type used
// while a leaf evaluates its candidate splits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/types.hpp"
#include "tree/gaussian_estimator.hpp"

namespace kavro {

using ClassWeights = std::unordered_map<ClassLabel, double>;
using FeatureEstimators = std::unordered_map<std::string, GaussianEstimator>;

// Key order of the records a tree reads: names and values of the current record
// by position (its iteration order). `id` changes whenever the names or their
// order change, to a value no layout has had, so positions cached under one id
// stay valid while it holds.
struct KeyLayout {
    std::vector<std::string> names;
    std::vector<double> values;
    std::uint64_t id = 1;

    void read(const FeatureMap& x);
};

// One class's estimators at a leaf: its table and its estimators by layout
// position (nullptr: none yet), held by the leaf.
struct LayoutEstimators {
    FeatureEstimators* table = nullptr;
    GaussianEstimator** at = nullptr;
};

struct ClassifierNode {
    bool is_leaf = true;
    // Leaf statistics.
    std::unordered_map<ClassLabel, FeatureEstimators> class_observers;
    ClassWeights class_counts;
    double weight = 0.0;
    double mc_correct = 0.0;
    double nb_correct = 0.0;
    // Leaf, for layout `layout` (0 names none) of n features: the j-th class of
    // class_counts (in its order) has its table at layout_table[j] (nullptr: none)
    // and its estimator for feature i at by_layout[j * n + i] (nullptr: none yet).
    // Valid while neither map gains a key; layout_tables counts the tables it was
    // built from.
    std::uint64_t layout = 0;
    std::size_t layout_tables = 0;
    std::vector<FeatureEstimators*> layout_table;
    std::vector<GaussianEstimator*> by_layout;
    // Internal-node test: value <= threshold goes left.
    std::string split_feature;
    double threshold = 0.0;
    // Position of split_feature in layout `split_layout` (npos: not in the record).
    std::uint64_t split_layout = 0;
    std::size_t split_position = 0;
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
