#include "anomaly/isolation_forest.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace kavro {

OnlineIsolationForest::OnlineIsolationForest(int n_trees, int max_leaf_samples,
                                             const std::string& growth, double subsample,
                                             int window_size, std::optional<std::uint32_t> seed)
    : n_trees_(n_trees),
      max_leaf_samples_(max_leaf_samples),
      adaptive_(growth == "adaptive"),
      subsample_(subsample),
      window_size_(window_size),
      has_seed_(seed.has_value()),
      seed_(anomaly::seed_or_default(seed)),
      rng_(seed_) {
    const char* who = "OnlineIsolationForest";
    anomaly::require_positive(who, "n_trees", n_trees);
    anomaly::require_positive(who, "max_leaf_samples", max_leaf_samples);
    anomaly::require_positive(who, "window_size", window_size);
    if (growth != "adaptive" && growth != "fixed") {
        throw std::invalid_argument(std::string(who) + ": growth must be 'adaptive' or 'fixed' (got '" +
                                    growth + "').");
    }
    if (!(subsample > 0.0 && subsample <= 1.0)) {
        throw std::invalid_argument(std::string(who) + ": subsample must lie in (0, 1] (got " +
                                    std::to_string(subsample) + ").");
    }
    // Depth cap: log2 of the window, so trees stay within what the window can fill.
    max_depth_ = static_cast<int>(std::ceil(std::log2(static_cast<double>(window_size))));
    if (max_depth_ < 1) max_depth_ = 1;
}

double OnlineIsolationForest::threshold(int depth) const {
    return adaptive_ ? std::ldexp(static_cast<double>(max_leaf_samples_), depth)
                     : static_cast<double>(max_leaf_samples_);
}

std::int32_t OnlineIsolationForest::new_node(Tree& tree) {
    if (!tree.spare.empty()) {
        const std::int32_t idx = tree.spare.back();
        tree.spare.pop_back();
        tree.nodes[idx] = Node{};
        return idx;
    }
    tree.nodes.emplace_back();
    return static_cast<std::int32_t>(tree.nodes.size() - 1);
}

void OnlineIsolationForest::drop_subtree(Tree& tree, std::int32_t idx) {
    std::vector<std::int32_t> stack{idx};
    while (!stack.empty()) {
        const std::int32_t i = stack.back();
        stack.pop_back();
        Node& nd = tree.nodes[i];
        if (nd.left >= 0) stack.push_back(nd.left);
        if (nd.right >= 0) stack.push_back(nd.right);
        nd = Node{};
        tree.spare.push_back(i);
    }
}

void OnlineIsolationForest::split(Tree& tree, std::int32_t idx) {
    const std::size_t d = space_.size();
    const Node& leaf = tree.nodes[idx];
    std::vector<std::uint32_t> dims;
    for (std::size_t j = 0; j < d; ++j) {
        if (leaf.high[j] > leaf.low[j]) dims.push_back(static_cast<std::uint32_t>(j));
    }
    if (dims.empty()) return;  // every record of the box is the same point
    const std::size_t n = static_cast<std::size_t>(leaf.height);
    std::vector<double> pts(n * d);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            pts[i * d + j] = leaf.low[j] + (leaf.high[j] - leaf.low[j]) * canonical(rng_);
        }
    }
    const std::uint32_t q = dims[uniform_draw(rng_, static_cast<std::uint32_t>(dims.size() - 1))];
    double lo = pts[q], hi = pts[q];
    for (std::size_t i = 1; i < n; ++i) {
        lo = std::min(lo, pts[i * d + q]);
        hi = std::max(hi, pts[i * d + q]);
    }
    const double p = lo + (hi - lo) * canonical(rng_);
    Node left, right;
    for (std::size_t i = 0; i < n; ++i) {
        Node& side = pts[i * d + q] < p ? left : right;
        const double* pt = &pts[i * d];
        if (side.height == 0) {
            side.low.assign(pt, pt + d);
            side.high.assign(pt, pt + d);
        } else {
            for (std::size_t j = 0; j < d; ++j) {
                side.low[j] = std::min(side.low[j], pt[j]);
                side.high[j] = std::max(side.high[j], pt[j]);
            }
        }
        ++side.height;
    }
    // An empty side covers its half of the parent's box.
    if (left.height == 0) {
        left.low = leaf.low;
        left.high = leaf.high;
        left.high[q] = p;
    }
    if (right.height == 0) {
        right.low = leaf.low;
        right.high = leaf.high;
        right.low[q] = p;
    }
    const std::int32_t l = new_node(tree);
    tree.nodes[l] = std::move(left);
    const std::int32_t r = new_node(tree);
    tree.nodes[r] = std::move(right);
    Node& parent = tree.nodes[idx];
    parent.left = l;
    parent.right = r;
    parent.dim = static_cast<std::int32_t>(q);
    parent.split = p;
}

void OnlineIsolationForest::learn_tree(Tree& tree, const std::vector<double>& v) {
    const std::size_t d = v.size();
    std::int32_t idx = 0;
    for (int depth = 0;; ++depth) {
        Node& nd = tree.nodes[idx];
        if (nd.height == 0 && nd.low.empty()) {
            nd.low = v;
            nd.high = v;
        } else {
            for (std::size_t j = 0; j < d; ++j) {
                nd.low[j] = std::min(nd.low[j], v[j]);
                nd.high[j] = std::max(nd.high[j], v[j]);
            }
        }
        ++nd.height;
        if (nd.left < 0) {
            if (depth < max_depth_ && static_cast<double>(nd.height) >= threshold(depth)) split(tree, idx);
            return;
        }
        idx = v[nd.dim] < nd.split ? nd.left : nd.right;
    }
}

void OnlineIsolationForest::forget_tree(Tree& tree, const std::vector<double>& v) {
    std::int32_t idx = 0;
    for (int depth = 0;; ++depth) {
        Node& nd = tree.nodes[idx];
        if (nd.height > 0) --nd.height;
        if (nd.left < 0) return;
        if (static_cast<double>(nd.height) < threshold(depth)) {
            const std::int32_t l = nd.left, r = nd.right;
            nd.left = nd.right = nd.dim = -1;
            nd.split = 0.0;
            drop_subtree(tree, l);
            drop_subtree(tree, r);
            return;
        }
        idx = v[nd.dim] < nd.split ? nd.left : nd.right;
    }
}

void OnlineIsolationForest::learn_one(const FeatureMap& x) {
    if (!space_.fixed()) {
        space_.fix(x);
        if (!space_.fixed()) return;
        trees_.assign(static_cast<std::size_t>(n_trees_), Tree{});
        for (auto& t : trees_) t.nodes.emplace_back();
    }
    if (window_.size() == static_cast<std::size_t>(window_size_)) {
        const Point& old = window_.front();
        for (std::size_t t = 0; t < trees_.size(); ++t) {
            if (old.trees.empty() || old.trees[t]) forget_tree(trees_[t], old.values);
        }
        window_.pop_front();
    }
    Point pt;
    pt.values.resize(space_.size());
    space_.dense(x, pt.values.data());
    if (subsample_ < 1.0) {
        pt.trees.resize(trees_.size());
        for (auto& flag : pt.trees) flag = canonical(rng_) < subsample_ ? 1 : 0;
    }
    for (std::size_t t = 0; t < trees_.size(); ++t) {
        if (pt.trees.empty() || pt.trees[t]) learn_tree(trees_[t], pt.values);
    }
    window_.push_back(std::move(pt));
}

double OnlineIsolationForest::score_one(const FeatureMap& x) const {
    const double n = static_cast<double>(window_.size());
    if (n < 2.0) return 0.5;
    std::vector<double> v(space_.size());
    space_.dense(x, v.data());
    double total = 0.0;
    for (const auto& tree : trees_) {
        std::int32_t idx = 0;
        int depth = 0;
        while (tree.nodes[idx].left >= 0) {
            const Node& nd = tree.nodes[idx];
            idx = v[nd.dim] < nd.split ? nd.left : nd.right;
            ++depth;
        }
        total += depth + anomaly::isolation_c(static_cast<double>(tree.nodes[idx].height));
    }
    const double mean = total / static_cast<double>(trees_.size());
    return std::exp2(-mean / anomaly::isolation_c(n));
}

void OnlineIsolationForest::reset() {
    rng_.seed(seed_);
    space_ = anomaly::FeatureSpace{};
    trees_.clear();
    window_.clear();
}

std::size_t OnlineIsolationForest::n_nodes() const {
    std::size_t n = 0;
    for (const auto& t : trees_) n += t.nodes.size() - t.spare.size();
    return n;
}

}  // namespace kavro
