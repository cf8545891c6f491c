// Nodes, search trees and learner state of FIMTDDRegressor, shared with the
// saved-state code.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tree/fimtdd_regressor.hpp"

namespace kavro {

namespace fimtdd_impl {

constexpr std::uint32_t kNone = 0xffffffffu;
// Examples a leaf keeps queued for its search trees at most.
constexpr int kMaxPendingExamples = 256;

// Target sums of the examples that passed a node on its <= side. Only this side
// is ever read when splits are evaluated.
struct EBSTSums {
    double le_count;
    double le_sum;
    double le_sq_sum;
};

// One node of a feature's extended binary search tree: a value seen at the leaf,
// its children (indices into the owning tree's vector) and its sums; 40 bytes.
struct EBSTNode {
    double key;
    // child[0] holds the smaller values (<= key), child[1] the greater ones.
    std::uint32_t child[2];
    EBSTSums le;
};

// A feature's search tree; nodes[0] is the root. Freed as one block, so depth (a
// chain for sorted input) never matters on destruction.
struct EBST {
    std::vector<EBSTNode> nodes;
    // Insertions not carried out yet, (value, target) in arrival order.
    std::vector<std::pair<double, double>> pending;
    // Some key is NaN: ascending key order is then not the in-order sequence.
    bool has_nan_key = false;

    void add_node(double v, double y, double yy) {
        nodes.push_back(EBSTNode{v, {kNone, kNone}, EBSTSums{1.0, y, yy}});
        if (v != v) has_nan_key = true;
    }
};

struct SumStats {
    double count = 0.0;
    double sum = 0.0;
    double sq_sum = 0.0;

    void add(double v) {
        count += 1.0;
        sum += v;
        sq_sum += v * v;
    }
    double mean() const { return sum / count; }
    // Population deviation when count > 1 and the variance is positive, else 0.
    double sigma() const {
        if (!(count > 1.0)) return 0.0;
        const double var = (sq_sum - sum * sum / count) / count;
        if (!(var > 0.0)) return 0.0;
        return std::sqrt(var);
    }
};

enum class LeafMode { Mean, Perceptron, Adaptive };

inline LeafMode decode_mode(const std::string& s) {
    if (s == "mean") return LeafMode::Mean;
    if (s == "perceptron") return LeafMode::Perceptron;
    return LeafMode::Adaptive;
}

struct Carried {
    double count = 0.0;
    double sum = 0.0;
    double sq_sum = 0.0;
};

// Search-tree insertions under way, by slot (one per tree): the node to visit
// next, the tree's nodes (they do not move until an insertion adds one, which
// ends it), the value, the sums added on the <= side and on the greater side
// (-0.0 leaves any double unchanged), the tree and its next queued insertion.
struct InsertScratch {
    std::vector<EBSTNode*> at;
    std::vector<EBSTNode*> nodes;
    std::vector<double> value;
    std::vector<std::array<EBSTSums, 2>> add;
    std::vector<EBST*> tree;
    std::vector<std::size_t> next;

    void reserve(std::size_t n) {
        if (at.size() >= n) return;
        at.resize(n);
        nodes.resize(n);
        value.resize(n);
        add.resize(n);
        tree.resize(n);
        next.resize(n);
    }
};

// Scaled value of one feature of the example being learnt; ok is false when the
// feature has no tree-wide spread yet (it is then skipped or taken as 0).
struct ScaledValue {
    const std::string* name;
    std::uint32_t id;
    double value;
    double z;
    bool ok;
};

// Tree-wide statistics of a feature and its id (dense, in first-seen order).
struct GlobalFeature {
    SumStats stats;
    std::uint32_t id = kNone;
};

// Per-example state of learn_one.
struct LearnState {
    // Deviation and mean of the targets learnt, this one included.
    double target_sigma = 0.0;
    double target_mean = 0.0;
    // Per feature of the example being learnt, in its iteration order, and its
    // tree-wide statistics.
    std::vector<ScaledValue> scaled;
    std::vector<const SumStats*> scaled_stats;
    // Value of each feature id in the example being learnt, valid where the stamp
    // equals example_stamp (absent features read as 0).
    std::vector<double> value_by_id;
    std::vector<std::uint64_t> stamp_by_id;
    std::uint64_t example_stamp = 0;
    // Leaf the example reaches in the main tree and its model output, computed
    // for the prediction before learning and reused by the leaf's update; null
    // when unset or when the main tree changed shape since.
    const FIMTDDRegressor::ModelTreeNode* main_leaf = nullptr;
    double main_leaf_output = 0.0;
    // Leaf and result of the last model output computed while learning.
    const FIMTDDRegressor::ModelTreeNode* last_output_leaf = nullptr;
    double last_output = 0.0;
};

}  // namespace fimtdd_impl

struct FIMTDDRegressor::ModelTreeNode {
    bool is_leaf = true;
    double n = 0.0;
    double y_sum = 0.0;
    double y_sq_sum = 0.0;
    double ph_error_sum = 0.0;
    double ph_count = 0.0;
    std::unordered_map<std::string, fimtdd_impl::EBST> observers;
    double n_at_last_attempt = 0.0;
    // Examples whose search-tree insertions are still queued.
    int pending_examples = 0;
    std::unordered_map<std::string, double> weights;
    double bias = 0.0;
    double model_updates = 0.0;
    bool model_ready = false;
    double mean_sse = 0.0;
    double model_sse = 0.0;
    double y_min = 0.0;
    double y_max = 0.0;
    bool has_range = false;
    // Entries of weights / observers by feature id, filled as they are looked up
    // while learning; null where not looked up yet. Map elements never move, so
    // the pointers stay valid while the maps live (also across a move).
    std::vector<double*> weight_slots;
    std::vector<fimtdd_impl::EBST*> observer_slots;
    std::string split_feature;
    // Id of split_feature.
    std::uint32_t split_id = fimtdd_impl::kNone;
    double threshold = 0.0;
    std::unique_ptr<ModelTreeNode> left;
    std::unique_ptr<ModelTreeNode> right;
    bool ph_active = true;
    double ph_cum = 0.0;
    double ph_min = 0.0;
    bool ph_min_set = false;
    std::unique_ptr<ModelTreeNode> alternate;
    double alt_n = 0.0;
    double orig_faded_error = 0.0;
    double alt_faded_error = 0.0;
    double alt_last_check = 0.0;

    ModelTreeNode() = default;
    ModelTreeNode(const ModelTreeNode&) = delete;
    ModelTreeNode& operator=(const ModelTreeNode&) = delete;
    // Takes over another node's whole state; this node's old subtrees are freed.
    ModelTreeNode& operator=(ModelTreeNode&&) = default;

    // Frees children and alternates without recursion.
    ~ModelTreeNode() {
        std::vector<std::unique_ptr<ModelTreeNode>> pending;
        auto take = [&pending](ModelTreeNode& node) {
            if (node.left) pending.push_back(std::move(node.left));
            if (node.right) pending.push_back(std::move(node.right));
            if (node.alternate) pending.push_back(std::move(node.alternate));
        };
        take(*this);
        while (!pending.empty()) {
            std::unique_ptr<ModelTreeNode> node = std::move(pending.back());
            pending.pop_back();
            take(*node);
        }
    }

    const ModelTreeNode* route(const FeatureMap& x) const {
        const ModelTreeNode* node = this;
        while (!node->is_leaf) node = node->child_for(x);
        return node;
    }

    ModelTreeNode* child_for(const FeatureMap& x) const {
        auto it = x.find(split_feature);
        const double v = it == x.end() ? 0.0 : it->second;
        return v <= threshold ? left.get() : right.get();
    }

    // Weight entry for a feature id, looked up by name the first time (find only:
    // a missing weight stays missing).
    double* find_weight(std::uint32_t id, const std::string& name) {
        if (id < weight_slots.size() && weight_slots[id]) return weight_slots[id];
        auto w = weights.find(name);
        if (w == weights.end()) return nullptr;
        if (id >= weight_slots.size()) weight_slots.resize(id + 1, nullptr);
        weight_slots[id] = &w->second;
        return &w->second;
    }

    // Weight entry for a feature id, inserted (as 0) when missing.
    double& weight_at(std::uint32_t id, const std::string& name) {
        if (id < weight_slots.size() && weight_slots[id]) return *weight_slots[id];
        double& w = weights[name];
        if (id >= weight_slots.size()) weight_slots.resize(id + 1, nullptr);
        weight_slots[id] = &w;
        return w;
    }

    // Search tree for a feature id, inserted (empty) when missing.
    fimtdd_impl::EBST& observer_at(std::uint32_t id, const std::string& name) {
        if (id < observer_slots.size() && observer_slots[id]) return *observer_slots[id];
        fimtdd_impl::EBST& o = observers[name];
        if (id >= observer_slots.size()) observer_slots.resize(id + 1, nullptr);
        observer_slots[id] = &o;
        return o;
    }
};

struct FIMTDDRegressor::Impl {
    fimtdd_impl::SumStats target_stats;
    std::unordered_map<std::string, fimtdd_impl::GlobalFeature> global_feature_stats;
    std::uint32_t next_feature_id = 0;
    // Names of the previous example's features in its iteration order, with their
    // entries in global_feature_stats: records with the same keys come in the same
    // order, so a name matching its position needs no hash lookup.
    std::vector<std::pair<std::string, fimtdd_impl::GlobalFeature*>> recent_features;
    fimtdd_impl::LearnState learn;
    fimtdd_impl::LeafMode mode = fimtdd_impl::LeafMode::Adaptive;
    // (weight entry, scaled value) per feature of the example being learnt.
    std::vector<std::pair<double*, double>> update_buffer;
    // Split evaluation: sums carried into each search-tree node, or the stack of
    // an in-order walk.
    std::vector<fimtdd_impl::Carried> carried;
    std::vector<std::pair<std::uint32_t, fimtdd_impl::Carried>> walk_stack;
    fimtdd_impl::InsertScratch insert_scratch;
};

}  // namespace kavro
