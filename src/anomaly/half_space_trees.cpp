#include "anomaly/half_space_trees.hpp"

#include <cmath>
#include <stdexcept>
#include <tuple>

namespace kavro {

namespace {

void add_mass(HalfSpaceTrees::Node& nd, std::int64_t epoch) {
    if (nd.epoch != epoch) {
        nd.prev = nd.epoch == epoch - 1 ? nd.mass : 0;
        nd.mass = 0;
        nd.epoch = epoch;
    }
    ++nd.mass;
}

std::int32_t reference_mass(const HalfSpaceTrees::Node& nd, std::int64_t epoch) {
    if (nd.epoch == epoch) return nd.prev;
    return nd.epoch == epoch - 1 ? nd.mass : 0;
}

}  // namespace

HalfSpaceTrees::HalfSpaceTrees(int n_trees, int height, int window_size, Limits limits,
                               std::optional<std::uint32_t> seed)
    : n_trees_(n_trees),
      height_(height),
      window_size_(window_size),
      limits_(std::move(limits)),
      has_seed_(seed.has_value()),
      seed_(anomaly::seed_or_default(seed)),
      rng_(seed_) {
    anomaly::require_positive("HalfSpaceTrees", "n_trees", n_trees);
    anomaly::require_positive("HalfSpaceTrees", "height", height);
    anomaly::require_positive("HalfSpaceTrees", "window_size", window_size);
    if (height > 30) {
        throw std::invalid_argument("HalfSpaceTrees: height must be at most 30 (got " +
                                    std::to_string(height) + ").");
    }
    for (const auto& [name, range] : limits_) {
        if (!std::isfinite(range.first) || !std::isfinite(range.second) || !(range.first < range.second)) {
            throw std::invalid_argument("HalfSpaceTrees: limits[" + name +
                                        "] must be finite (low, high) with low < high.");
        }
    }
}

// A node at `depth` whose parent lies on x's path (x goes there when `right` is its side):
// its feature drawn, its split the middle of its cell on that feature (the tree's workspace
// narrowed by the splits above it).
HalfSpaceTrees::Node HalfSpaceTrees::make_node(const Tree& tree, int depth, const double* x, bool right) {
    Node nd;
    if (depth < height_) {
        const auto q = static_cast<std::int32_t>(
            uniform_draw(rng_, static_cast<std::uint32_t>(space_.size() - 1)));
        double low = tree.low[q], high = tree.high[q];
        std::int32_t idx = 0;
        for (int k = 0; k < depth; ++k) {
            const Node& up = tree.nodes[idx];
            const bool left = k + 1 == depth ? !right : x[up.dim] < up.split;
            if (up.dim == q) (left ? high : low) = up.split;
            idx = up.child + (left ? 0 : 1);
        }
        nd.dim = q;
        nd.split = 0.5 * (low + high);
    }
    return nd;
}

// Each feature's workspace: s drawn in its range [a, b], then s -/+ 2 max(s - a, b - s).
void HalfSpaceTrees::build(const double* x) {
    trees_.assign(static_cast<std::size_t>(n_trees_), Tree{});
    const std::size_t d = space_.size();
    for (auto& tree : trees_) {
        tree.low.resize(d);
        tree.high.resize(d);
        for (std::size_t j = 0; j < d; ++j) {
            double a = 0.0, b = 1.0;
            const auto it = limits_.find(space_.names[j]);
            if (it != limits_.end()) std::tie(a, b) = it->second;
            const double s = a + (b - a) * canonical(rng_);
            const double r = 2.0 * std::max(s - a, b - s);
            tree.low[j] = s - r;
            tree.high[j] = s + r;
        }
        tree.nodes.push_back(make_node(tree, 0, x, false));
    }
}

// The trees are walked level by level, all of them at each level, so that their independent
// node loads overlap.
void HalfSpaceTrees::learn_one(const FeatureMap& x) {
    thread_local std::vector<double> v;
    thread_local std::vector<std::int32_t> at;
    if (!space_.fixed()) {
        std::vector<std::string> known;
        for (const auto& kv : limits_) known.push_back(kv.first);
        space_.fix(x, known);
        if (!space_.fixed()) return;  // an empty first record: nothing to build on
        v.resize(space_.size());
        space_.dense(x, v.data());
        build(v.data());
    }
    v.resize(space_.size());
    space_.dense(x, v.data());
    const std::int64_t epoch = n_ / window_size_;
    const std::size_t n_trees = trees_.size();
    at.assign(n_trees, 0);
    for (int depth = 0; depth <= height_; ++depth) {
        for (std::size_t t = 0; t < n_trees; ++t) {
            Tree& tree = trees_[t];
            const std::int32_t idx = at[t];
            Node& nd = tree.nodes[idx];
            add_mass(nd, epoch);
            if (depth == height_) continue;
            const bool right = !(v[nd.dim] < nd.split);
            std::int32_t child = nd.child;
            if (child < 0) {  // both children at once, so that they sit side by side
                const Node l = make_node(tree, depth + 1, v.data(), false);
                const Node r = make_node(tree, depth + 1, v.data(), true);
                child = static_cast<std::int32_t>(tree.nodes.size());
                tree.nodes.push_back(l);
                tree.nodes.push_back(r);
                tree.nodes[idx].child = child;
            }
            child += right ? 1 : 0;
            at[t] = child;
        }
    }
    ++n_;
}

double HalfSpaceTrees::score_one(const FeatureMap& x) const {
    if (!space_.fixed()) return 1.0;
    thread_local std::vector<double> v;
    thread_local std::vector<std::int32_t> at;
    thread_local std::vector<std::int32_t> tree_of;
    v.resize(space_.size());
    space_.dense(x, v.data());
    const std::int64_t epoch = n_ / window_size_;
    const double limit = 0.1 * window_size_;
    // Trees still descending: tree_of[i] walks node at[i].
    const std::size_t n_trees = trees_.size();
    at.assign(n_trees, 0);
    tree_of.resize(n_trees);
    for (std::size_t t = 0; t < n_trees; ++t) tree_of[t] = static_cast<std::int32_t>(t);
    std::size_t active = n_trees;
    double total = 0.0;
    for (int depth = 0; active > 0; ++depth) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < active; ++i) {
            const Tree& tree = trees_[tree_of[i]];
            const Node& nd = tree.nodes[at[i]];
            const std::int32_t r = reference_mass(nd, epoch);
            if (nd.dim < 0 || r < limit) {
                total += std::ldexp(static_cast<double>(r), depth);
                continue;
            }
            if (nd.child < 0) continue;  // never reached: no mass
            const std::int32_t child = nd.child + (v[nd.dim] < nd.split ? 0 : 1);
            tree_of[kept] = tree_of[i];
            at[kept] = child;
            ++kept;
        }
        active = kept;
    }
    return 1.0 - total / (static_cast<double>(n_trees_) * window_size_ * std::ldexp(1.0, height_));
}

void HalfSpaceTrees::reset() {
    rng_.seed(seed_);
    space_ = anomaly::FeatureSpace{};
    trees_.clear();
    n_ = 0;
}

std::size_t HalfSpaceTrees::n_nodes() const {
    std::size_t n = 0;
    for (const auto& t : trees_) n += t.nodes.size();
    return n;
}

}  // namespace kavro
