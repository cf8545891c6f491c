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

std::int32_t HalfSpaceTrees::make_node(std::vector<Node>& nodes, int depth,
                                       const std::vector<double>& low,
                                       const std::vector<double>& high) {
    Node nd;
    if (depth < height_) {
        nd.dim = static_cast<std::int32_t>(
            uniform_draw(rng_, static_cast<std::uint32_t>(space_.size() - 1)));
        nd.split = 0.5 * (low[nd.dim] + high[nd.dim]);
    }
    nodes.push_back(nd);
    return static_cast<std::int32_t>(nodes.size() - 1);
}

// Each feature's workspace: s drawn in its range [a, b], then s -/+ 2 max(s - a, b - s).
void HalfSpaceTrees::build() {
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
        make_node(tree.nodes, 0, tree.low, tree.high);
    }
}

void HalfSpaceTrees::learn_one(const FeatureMap& x) {
    if (!space_.fixed()) {
        std::vector<std::string> known;
        for (const auto& kv : limits_) known.push_back(kv.first);
        space_.fix(x, known);
        if (!space_.fixed()) return;  // an empty first record: nothing to build on
        build();
    }
    const std::size_t d = space_.size();
    std::vector<double> v(d), low(d), high(d);
    space_.dense(x, v.data());
    const std::int64_t epoch = n_ / window_size_;
    for (auto& tree : trees_) {
        low = tree.low;
        high = tree.high;
        std::int32_t idx = 0;
        for (int depth = 0;; ++depth) {
            add_mass(tree.nodes[idx], epoch);
            const Node nd = tree.nodes[idx];
            if (nd.dim < 0) break;
            const bool left = v[nd.dim] < nd.split;
            (left ? high : low)[nd.dim] = nd.split;
            std::int32_t child = left ? nd.left : nd.right;
            if (child < 0) {
                child = make_node(tree.nodes, depth + 1, low, high);
                (left ? tree.nodes[idx].left : tree.nodes[idx].right) = child;
            }
            idx = child;
        }
    }
    ++n_;
}

double HalfSpaceTrees::score_one(const FeatureMap& x) const {
    if (!space_.fixed()) return 1.0;
    const std::size_t d = space_.size();
    std::vector<double> v(d);
    space_.dense(x, v.data());
    const std::int64_t epoch = n_ / window_size_;
    const double limit = 0.1 * window_size_;
    double total = 0.0;
    for (const auto& tree : trees_) {
        std::int32_t idx = 0;
        for (int depth = 0;; ++depth) {
            const Node& nd = tree.nodes[idx];
            const std::int32_t r = reference_mass(nd, epoch);
            if (nd.dim < 0 || r < limit) {
                total += std::ldexp(static_cast<double>(r), depth);
                break;
            }
            idx = v[nd.dim] < nd.split ? nd.left : nd.right;
            if (idx < 0) break;  // never reached: no mass
        }
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
