// Node of HoeffdingTreeRegressor, shared with the saved-state code.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "tree/hoeffding_tree_regressor.hpp"

namespace kavro {

namespace htr_impl {

struct FeatureStats {
    double weight = 0.0;
    double mean = 0.0;
    double m2 = 0.0;
};

}  // namespace htr_impl

struct HoeffdingTreeRegressor::RegressorNode {
    bool is_leaf = true;
    double y_weight = 0.0;
    double y_mean = 0.0;
    double y_m2 = 0.0;
    std::unordered_map<std::string, htr_impl::FeatureStats> feature_stats;
    double weight = 0.0;
    std::int64_t n_seen = 0;
    std::unordered_map<std::string, double> weights;
    double bias = 0.0;
    double mean_sse = 0.0;
    double model_sse = 0.0;
    std::string split_feature;
    double threshold = 0.0;
    std::unique_ptr<RegressorNode> left;
    std::unique_ptr<RegressorNode> right;

    RegressorNode() = default;
    RegressorNode(const RegressorNode&) = delete;
    RegressorNode& operator=(const RegressorNode&) = delete;

    // Frees the subtree without recursion.
    ~RegressorNode() {
        std::vector<std::unique_ptr<RegressorNode>> pending;
        if (left) pending.push_back(std::move(left));
        if (right) pending.push_back(std::move(right));
        while (!pending.empty()) {
            std::unique_ptr<RegressorNode> node = std::move(pending.back());
            pending.pop_back();
            if (node->left) pending.push_back(std::move(node->left));
            if (node->right) pending.push_back(std::move(node->right));
        }
    }

    bool has_sd_y() const { return y_weight > 1.0; }
    double sd_y() const { return std::sqrt(y_m2 / (y_weight - 1.0)); }

    // (v - mean) / sd of the feature at this node, or 0 without positive spread.
    double standardised(const std::string& name, double v) const {
        auto it = feature_stats.find(name);
        if (it == feature_stats.end()) return 0.0;
        const htr_impl::FeatureStats& fs = it->second;
        if (!(fs.weight > 1.0)) return 0.0;
        const double sd = std::sqrt(fs.m2 / (fs.weight - 1.0));
        if (!(sd > 0.0)) return 0.0;
        return (v - fs.mean) / sd;
    }

    double model_prediction(const FeatureMap& x) const {
        double s = bias;
        if (!weights.empty()) {
            for (const auto& kv : x) {
                auto w = weights.find(kv.first);
                if (w == weights.end()) continue;
                s = std::fma(standardised(kv.first, kv.second), w->second, s);
            }
        }
        if (has_sd_y()) {
            const double sd = sd_y();
            if (sd > 0.0) {
                double p = y_mean + s * sd;
                const double lo = y_mean - 3.0 * sd;
                const double hi = y_mean + 3.0 * sd;
                if (p < lo) p = lo;
                if (p > hi) p = hi;
                return p;
            }
        }
        return y_mean + s;
    }

    // Share of this leaf's values of `name` expected at or below theta.
    double left_fraction(const std::string& name, double theta) const {
        auto it = feature_stats.find(name);
        if (it == feature_stats.end() || !(it->second.weight > 0.0)) return 0.5;
        const htr_impl::FeatureStats& fs = it->second;
        double sd = 0.0;
        if (fs.weight > 1.0) sd = std::sqrt(fs.m2 / (fs.weight - 1.0));
        if (!(fs.weight > 1.0) || !(sd > 0.0)) return theta >= fs.mean ? 0.99 : 0.01;
        double q = (std::erf((theta - fs.mean) / (sd * std::sqrt(2.0))) + 1.0) * 0.5;
        if (q >= 0.99) q = 0.99;
        if (q <= 0.01) q = 0.01;
        return q;
    }
};

}  // namespace kavro
