// Saved state of the tree classifiers: each class's visit names its fields in order.
//
// Left out, as caches the trees rebuild exactly as they would be: the key layout a tree reads
// records into (a restored tree starts with a fresh, empty one, or the one its owner shares),
// the layout positions cached in nodes (read back as 0, an id no layout has, so every node
// recomputes them on its first use), and the short list of first labels checked before the
// set of seen labels (rebuilt from that set).
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "state/archive.hpp"
#include "state/visit_drift.hpp"
#include "tree/hoeffding_adaptive_tree_classifier.hpp"
#include "tree/hoeffding_tree_classifier.hpp"
#include "tree/sgt_classifier.hpp"

namespace kavro {

namespace state {

template <class Ar>
void visit(Ar& ar, GaussianEstimator& e) {
    ar("weight", e.weight);
    ar("mean", e.mean);
    ar("m2", e.m2);
    ar("min", e.min);
    ar("max", e.max);
    ar("var", e.var);
    ar("norm", e.norm);
}

template <class Ar>
void visit(Ar& ar, WeightedStats& s) {
    ar("weight", s.weight);
    ar("mean", s.mean);
    ar("m2", s.m2);
}

// A node's own fields; its children are walked by tree_field.
template <class Ar>
void visit(Ar& ar, ClassifierNode& n) {
    ar("is_leaf", n.is_leaf);
    ar("class_observers", n.class_observers);
    ar("class_counts", n.class_counts);
    ar("weight", n.weight);
    ar("mc_correct", n.mc_correct);
    ar("nb_correct", n.nb_correct);
    ar("split_feature", n.split_feature);
    ar("threshold", n.threshold);
}

template <class Ar>
void visit(Ar& ar, SGTNode& n) {
    ar("is_leaf", n.is_leaf);
    ar("grad_stats", n.grad_stats);
    ar("hess_stats", n.hess_stats);
    ar("value", n.value);
    ar("grad_sum", n.grad_sum);
    ar("hess_sum", n.hess_sum);
    ar("n_seen", n.n_seen);
    ar("split_feature", n.split_feature);
    ar("threshold", n.threshold);
}

}  // namespace state

namespace state::classifier_trees {

// Child slots of a binary node, in the order they are saved.
template <class Node>
std::vector<std::pair<const char*, std::unique_ptr<Node>*>> binary_children(Node& n) {
    return {{"left", &n.left}, {"right", &n.right}};
}

// Largest count or weight a restored node may hold: incrementing it, or converting it to a
// 64-bit integer, stays well defined.
constexpr double kMaxCount = 4611686018427387904.0;  // 2^62

// After reading: a root is present, internal nodes have both children and leaves none, and
// `check(node)` holds for every node. Walks without recursion.
template <class Ar, class Node, class Check>
void require_binary_tree(Ar& ar, const std::unique_ptr<Node>& root, Check check) {
    if constexpr (Ar::mode == Mode::read) {
        ar.require(root != nullptr, "a tree has no root");
        std::vector<const Node*> pending{root.get()};
        while (!pending.empty()) {
            const Node* node = pending.back();
            pending.pop_back();
            if (node->is_leaf) {
                ar.require(!node->left && !node->right, "a leaf has children");
            } else {
                ar.require(node->left && node->right, "an internal node lacks a child");
                pending.push_back(node->left.get());
                pending.push_back(node->right.get());
            }
            check(*node);
        }
    }
}

}  // namespace state::classifier_trees

template <class Ar>
void HoeffdingTreeClassifier::visit(Ar& ar) {
    namespace trees = state::classifier_trees;
    ar("grace_period", grace_period_);
    state::require(ar, grace_period_ >= 1, "grace_period is below 1");
    ar("split_confidence", split_confidence_);
    ar("tie_threshold", tie_threshold_);
    ar("nb_threshold", nb_threshold_);
    ar("max_depth", max_depth_);
    ar("split_criterion", split_criterion_);
    ar("n_split_points", n_split_points_);
    state::require(ar, n_split_points_ <= kMaxSplitPoints, "n_split_points is above 100000");
    ar("leaf_prediction", leaf_prediction_);
    ar("leaf_mc", leaf_mc_);
    ar("leaf_nb", leaf_nb_);
    state::require(ar,
                   leaf_mc_ == (leaf_prediction_ == "mc") && leaf_nb_ == (leaf_prediction_ == "nb"),
                   "the leaf prediction flags disagree with leaf_prediction");
    ar("max_split_features", max_split_features_);
    ar("rng", rng_);
    state::tree_field(ar, "root", root_, trees::binary_children<ClassifierNode>);
    trees::require_binary_tree(ar, root_, [&ar](const ClassifierNode& n) {
        state::require(ar, n.weight >= 0.0 && n.weight <= trees::kMaxCount,
                       "a node weight is negative, too large or not a number");
    });
    ar("seen_classes", seen_classes_);
    if constexpr (Ar::mode == state::Mode::read) {
        // Any of the seen labels serve; as many as the tree keeps there.
        seen_first_.clear();
        for (const ClassLabel c : seen_classes_) {
            if (seen_first_.size() == 8) break;
            seen_first_.push_back(c);
        }
    }
}

template <class Ar>
void SGTClassifier::visit(Ar& ar) {
    namespace trees = state::classifier_trees;
    ar("learning_rate", learning_rate_);
    state::require(ar, valid_learning_rate(learning_rate_), "learning_rate is not a finite number above 0");
    ar("lambda", lambda_);
    state::require(ar, valid_lambda(lambda_), "lambda is not a finite number of at least 0");
    ar("grace_period", grace_period_);
    state::require(ar, grace_period_ >= 1, "grace_period is below 1");
    ar("max_depth", max_depth_);
    state::tree_field(ar, "root", root_, trees::binary_children<SGTNode>);
    trees::require_binary_tree(ar, root_, [&ar](const SGTNode& n) {
        state::require(ar, n.n_seen >= 0 && static_cast<double>(n.n_seen) <= trees::kMaxCount,
                       "a leaf's example count is negative or too large");
        state::require(ar, std::isfinite(n.hess_sum), "a leaf's hessian sum is not finite");
        state::require(ar, std::isfinite(n.grad_sum) && std::isfinite(n.value),
                       "a node's gradient sum or value is not finite");
    });
}

template <class Ar>
void HoeffdingAdaptiveTreeClassifier::visit(Ar& ar) {
    ar("grace_period", grace_period_);
    state::require(ar, grace_period_ >= 1, "grace_period is below 1");
    ar("split_confidence", split_confidence_);
    ar("tie_threshold", tie_threshold_);
    ar("nb_threshold", nb_threshold_);
    ar("max_depth", max_depth_);
    ar("split_criterion", split_criterion_);
    ar("drift_delta", drift_delta_);
    ar("warning_delta", warning_delta_);
    ar("main_tree", main_tree_);
    state::require(ar, main_tree_ != nullptr, "the main tree is missing");
    ar("background_tree", background_tree_);
    ar("drift_detector", drift_detector_);
    ar("warning_detector", warning_detector_);
    if constexpr (Ar::mode == state::Mode::read) {
        // Both trees read each record through the one layout, as built trees do.
        main_tree_->share_layout(layout_);
        if (background_tree_) background_tree_->share_layout(layout_);
    }
}

}  // namespace kavro
