// Node and weighted feature summary of the stochastic gradient tree.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

namespace kavro {

struct WeightedStats {
    double weight = 0.0;
    double mean = 0.0;
    double m2 = 0.0;

    // A weight of 0 still counts a little, so every value moves the summary.
    void update(double v, double a) {
        const double w = a + 1e-10;
        const double old = mean;
        weight += w;
        const double e = (v - old) * w;
        mean = old + e / weight;
        m2 = std::fma(v - mean, e, m2);
    }

    // Meaningful only when weight > 1.
    double std_dev() const { return std::sqrt(m2 / (weight - 1.0)); }
};

struct SGTNode {
    bool is_leaf = true;
    std::unordered_map<std::string, WeightedStats> grad_stats;
    std::unordered_map<std::string, WeightedStats> hess_stats;
    double value = 0.0;
    double grad_sum = 0.0;
    double hess_sum = 0.0;
    std::int64_t n_seen = 0;
    std::string split_feature;
    double threshold = 0.0;
    std::unique_ptr<SGTNode> left;
    std::unique_ptr<SGTNode> right;

    SGTNode() = default;
    SGTNode(const SGTNode&) = delete;
    SGTNode& operator=(const SGTNode&) = delete;
    // Releases the subtree without recursion.
    ~SGTNode();
};

}  // namespace kavro
