// Saved state of the tree regressors: each class's visit names its fields in order.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "state/archive.hpp"
#include "tree/fimtdd_impl.hpp"
#include "tree/fimtdd_regressor.hpp"
#include "tree/hoeffding_tree_regressor.hpp"
#include "tree/hoeffding_tree_regressor_impl.hpp"

namespace kavro {

namespace state {

// ---------------------------------------------------------------------------
// HoeffdingTreeRegressor

template <class Ar>
void visit(Ar& ar, htr_impl::FeatureStats& s) {
    ar("weight", s.weight);
    ar("mean", s.mean);
    ar("m2", s.m2);
}

// A node's own fields; its children are walked by tree_field.
template <class Ar>
void visit(Ar& ar, HoeffdingTreeRegressor::RegressorNode& n) {
    ar("is_leaf", n.is_leaf);
    ar("y_weight", n.y_weight);
    ar("y_mean", n.y_mean);
    ar("y_m2", n.y_m2);
    ar("feature_stats", n.feature_stats);
    ar("weight", n.weight);
    ar("n_seen", n.n_seen);
    ar("weights", n.weights);
    ar("bias", n.bias);
    ar("mean_sse", n.mean_sse);
    ar("model_sse", n.model_sse);
    ar("split_feature", n.split_feature);
    ar("threshold", n.threshold);
}

namespace detail {

inline std::vector<std::pair<const char*, std::unique_ptr<HoeffdingTreeRegressor::RegressorNode>*>>
regressor_children(HoeffdingTreeRegressor::RegressorNode& n) {
    return {{"left", &n.left}, {"right", &n.right}};
}

// Leaves have no children and split nodes have both.
template <class Ar>
void check_regressor_tree(Ar& ar, HoeffdingTreeRegressor::RegressorNode& root) {
    std::vector<HoeffdingTreeRegressor::RegressorNode*> stack{&root};
    while (!stack.empty()) {
        auto* node = stack.back();
        stack.pop_back();
        if (node->is_leaf) {
            ar.require(!node->left && !node->right, "a leaf of a regression tree has children");
        } else {
            ar.require(node->left && node->right,
                       "a split node of a regression tree lacks a child");
            stack.push_back(node->right.get());
            stack.push_back(node->left.get());
        }
    }
}

}  // namespace detail

// ---------------------------------------------------------------------------
// FIMTDDRegressor

template <class Ar>
void visit(Ar& ar, fimtdd_impl::SumStats& s) {
    ar("count", s.count);
    ar("sum", s.sum);
    ar("sq_sum", s.sq_sum);
}

template <class Ar>
void visit(Ar& ar, fimtdd_impl::GlobalFeature& g) {
    ar("stats", g.stats);
    ar("id", g.id);
}

namespace detail {

static_assert(std::is_trivially_copyable_v<fimtdd_impl::EBSTNode> &&
                  sizeof(fimtdd_impl::EBSTNode) == 40 &&
                  offsetof(fimtdd_impl::EBSTNode, key) == 0 &&
                  offsetof(fimtdd_impl::EBSTNode, child) == 8 &&
                  offsetof(fimtdd_impl::EBSTNode, le) == 16,
              "search-tree nodes are written as their 40-byte layout");

// A search tree's nodes as one block of 40-byte records (key, two child indices, the three
// sums of the <= side). On reading, every child index must point forward into the block
// and every node but the root must have exactly one parent, so the nodes form one tree
// stored parent before children, as the split evaluation and the insertions assume.
template <class Ar>
void io_search_nodes(Ar& ar, std::vector<fimtdd_impl::EBSTNode>& nodes) {
    using fimtdd_impl::EBSTNode;
    using fimtdd_impl::kNone;
    if constexpr (Ar::mode == Mode::write) {
        ar.put_count(nodes.size());
        ar.put_raw(nodes.data(), nodes.size() * sizeof(EBSTNode));
    } else if constexpr (Ar::mode == Mode::read) {
        const std::size_t n = ar.get_count(sizeof(EBSTNode));
        ar.require(n < kNone, "a search tree has more nodes than its indices can address");
        std::vector<EBSTNode> fresh(n);
        ar.get_raw(fresh.data(), n * sizeof(EBSTNode));
        std::vector<unsigned char> parents(n, 0);
        for (std::size_t i = 0; i < n; ++i) {
            for (const std::uint32_t c : fresh[i].child) {
                if (c == kNone) continue;
                ar.require(c > i && c < n, "a search-tree child index is out of range");
                ar.require(parents[c] == 0, "a search-tree node has two parents");
                parents[c] = 1;
            }
        }
        for (std::size_t i = 1; i < n; ++i) {
            ar.require(parents[i] == 1, "a search-tree node is not reachable from the root");
        }
        nodes = std::move(fresh);
    } else {
        py::list key, left, right, count, sum, sq_sum;
        for (const EBSTNode& node : nodes) {
            key.append(py::float_(node.key));
            left.append(node.child[0] == kNone ? py::object(py::none())
                                               : py::object(py::int_(node.child[0])));
            right.append(node.child[1] == kNone ? py::object(py::none())
                                                : py::object(py::int_(node.child[1])));
            count.append(py::float_(node.le.le_count));
            sum.append(py::float_(node.le.le_sum));
            sq_sum.append(py::float_(node.le.le_sq_sum));
        }
        py::dict out;
        out["key"] = key;
        out["left"] = left;
        out["right"] = right;
        out["le_count"] = count;
        out["le_sum"] = sum;
        out["le_sq_sum"] = sq_sum;
        ar.result = out;
    }
}

// (value, target) pairs as consecutive doubles.
template <class Ar>
void io_value_pairs(Ar& ar, std::vector<std::pair<double, double>>& pairs) {
    if constexpr (Ar::mode == Mode::write) {
        ar.put_count(pairs.size());
        if (pairs.empty()) return;
        const std::size_t at = ar.out.size();
        ar.out.resize(at + pairs.size() * 16);
        char* p = &ar.out[at];
        for (const auto& pr : pairs) {
            std::memcpy(p, &pr.first, 8);
            std::memcpy(p + 8, &pr.second, 8);
            p += 16;
        }
    } else if constexpr (Ar::mode == Mode::read) {
        const std::size_t n = ar.get_count(16);
        std::vector<double> flat(2 * n);
        ar.get_raw(flat.data(), n * 16);
        std::vector<std::pair<double, double>> fresh(n);
        for (std::size_t i = 0; i < n; ++i) fresh[i] = {flat[2 * i], flat[2 * i + 1]};
        pairs = std::move(fresh);
    } else {
        io(ar, pairs);
    }
}

}  // namespace detail

// A feature's search tree and the insertions queued for it (kept queued: saving never
// carries them out).
template <class Ar>
void visit(Ar& ar, fimtdd_impl::EBST& t) {
    detail::io_search_nodes(ar, t.nodes);
    if constexpr (Ar::mode == Mode::describe) ar.fields["nodes"] = ar.result;
    detail::io_value_pairs(ar, t.pending);
    if constexpr (Ar::mode == Mode::describe) ar.fields["pending"] = ar.result;
    if constexpr (Ar::mode == Mode::read) {
        t.has_nan_key = false;
        for (const auto& node : t.nodes) {
            if (node.key != node.key) t.has_nan_key = true;
        }
    }
}

// A node's own fields; its children and alternate subtree are walked by tree_field. The
// per-id slots into its maps and the id of its split feature are rebuilt after reading.
template <class Ar>
void visit(Ar& ar, FIMTDDRegressor::ModelTreeNode& n) {
    ar("is_leaf", n.is_leaf);
    ar("n", n.n);
    ar("y_sum", n.y_sum);
    ar("y_sq_sum", n.y_sq_sum);
    ar("ph_error_sum", n.ph_error_sum);
    ar("ph_count", n.ph_count);
    ar("observers", n.observers);
    ar("n_at_last_attempt", n.n_at_last_attempt);
    ar("pending_examples", n.pending_examples);
    ar("weights", n.weights);
    ar("bias", n.bias);
    ar("model_updates", n.model_updates);
    ar("model_ready", n.model_ready);
    ar("mean_sse", n.mean_sse);
    ar("model_sse", n.model_sse);
    ar("y_min", n.y_min);
    ar("y_max", n.y_max);
    ar("has_range", n.has_range);
    ar("split_feature", n.split_feature);
    ar("threshold", n.threshold);
    ar("ph_active", n.ph_active);
    ar("ph_cum", n.ph_cum);
    ar("ph_min", n.ph_min);
    ar("ph_min_set", n.ph_min_set);
    ar("alt_n", n.alt_n);
    ar("orig_faded_error", n.orig_faded_error);
    ar("alt_faded_error", n.alt_faded_error);
    ar("alt_last_check", n.alt_last_check);
}

namespace detail {

inline std::vector<std::pair<const char*, std::unique_ptr<FIMTDDRegressor::ModelTreeNode>*>>
model_tree_children(FIMTDDRegressor::ModelTreeNode& n) {
    return {{"left", &n.left}, {"right", &n.right}, {"alternate", &n.alternate}};
}

}  // namespace detail

}  // namespace state

// ---------------------------------------------------------------------------

template <class Ar>
void HoeffdingTreeRegressor::visit(Ar& ar) {
    ar("grace_period", grace_period_);
    state::require(ar, grace_period_ >= 1, "grace_period is below 1");
    ar("split_confidence", split_confidence_);
    ar("tie_threshold", tie_threshold_);
    ar("max_depth", max_depth_);
    ar("learning_rate", learning_rate_);
    state::tree_field(ar, "root", root_, state::detail::regressor_children);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(root_ != nullptr, "a regression tree has no root");
        state::detail::check_regressor_tree(ar, *root_);
        scratch_.clear();
    }
}

// Left out: the ids-to-entries slots of each node, the split feature's id, the names of the
// previous example's features with pointers into the feature table, the per-id values of the
// example being learnt, and scratch buffers. They are rebuilt from the saved fields when
// reading (slots for every search tree, so queued insertions are carried out as before) or
// refilled lazily by the code that uses them.
template <class Ar>
void FIMTDDRegressor::visit(Ar& ar) {
    using fimtdd_impl::kNone;
    ar("grace_period", grace_period_);
    ar("split_confidence", split_confidence_);
    ar("tie_threshold", tie_threshold_);
    ar("max_depth", max_depth_);
    ar("leaf_prediction", leaf_prediction_);
    ar("learning_ratio", learning_ratio_);
    ar("learning_rate_decay", learning_rate_decay_);
    ar("learning_ratio_const", learning_ratio_const_);
    ar("page_hinckley_alpha", page_hinckley_alpha_);
    ar("page_hinckley_threshold", page_hinckley_threshold_);
    ar("alternate_tree_fading_factor", alternate_tree_fading_factor_);
    ar("alternate_tree_t_min", alternate_tree_t_min_);
    ar("alternate_tree_time", alternate_tree_time_);
    ar("drift_detection", drift_detection_);
    ar("seed", seed_);
    ar("target_stats", impl_->target_stats);
    ar("feature_stats", impl_->global_feature_stats);
    ar("next_feature_id", impl_->next_feature_id);
    ar("n_splits", split_count_);
    ar("rng", rng_);
    state::tree_field(ar, "root", root_, state::detail::model_tree_children);

    if constexpr (Ar::mode == state::Mode::read) {
        Impl& im = *impl_;
        im.mode = fimtdd_impl::decode_mode(leaf_prediction_);
        const std::size_t n_ids = im.next_feature_id;
        ar.require(n_ids == im.global_feature_stats.size(),
                   "the feature count disagrees with the feature table");
        std::vector<unsigned char> taken(n_ids, 0);
        for (const auto& kv : im.global_feature_stats) {
            const std::uint32_t id = kv.second.id;
            ar.require(id < n_ids && !taken[id], "a feature id is out of range or repeated");
            taken[id] = 1;
        }
        im.recent_features.clear();
        im.learn = fimtdd_impl::LearnState{};
        im.learn.value_by_id.assign(n_ids, 0.0);
        im.learn.stamp_by_id.assign(n_ids, 0);
        im.update_buffer.clear();

        std::vector<ModelTreeNode*> stack;
        if (root_) stack.push_back(root_.get());
        while (!stack.empty()) {
            ModelTreeNode* node = stack.back();
            stack.pop_back();
            if (node->is_leaf) {
                ar.require(!node->left && !node->right && !node->alternate,
                           "a leaf of a model tree has children or an alternate tree");
                ar.require(node->pending_examples >= 0 && node->pending_examples < fimtdd_impl::kMaxPendingExamples,
                           "a leaf's count of queued examples is out of range");
            } else {
                ar.require(node->left && node->right, "a split node of a model tree lacks a child");
                ar.require(node->observers.empty() && node->pending_examples == 0,
                           "a split node of a model tree holds search trees");
                const auto g = im.global_feature_stats.find(node->split_feature);
                node->split_id = g == im.global_feature_stats.end() ? kNone : g->second.id;
                if (node->alternate) stack.push_back(node->alternate.get());
                stack.push_back(node->right.get());
                stack.push_back(node->left.get());
            }
            node->weight_slots.clear();
            node->observer_slots.clear();
            for (auto& kv : node->observers) {
                const auto g = im.global_feature_stats.find(kv.first);
                ar.require(g != im.global_feature_stats.end(),
                           "a search tree belongs to a feature the tree never saw");
                ar.require(kv.second.pending.size() <=
                               static_cast<std::size_t>(node->pending_examples),
                           "a search tree holds more queued insertions than the leaf queued");
                const std::uint32_t id = g->second.id;
                if (id >= node->observer_slots.size()) node->observer_slots.resize(id + 1, nullptr);
                node->observer_slots[id] = &kv.second;
            }
        }
    }
}

}  // namespace kavro
