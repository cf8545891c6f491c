// Keeps the k features whose running Pearson correlation with the target scores highest.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/interfaces.hpp"
#include "preprocessing/welford_stats.hpp"

namespace kavro {

class SelectKBest : public ITransformer {
public:
    struct CorrelationStats {
        WelfordStats x_stats;
        WelfordStats y_stats;  // targets seen together with this feature
        CovarianceStats xy_cov;
    };

    explicit SelectKBest(std::int32_t k = 10, bool use_abs = false) : k_(k), use_abs_(use_abs) {}

    // Unsupervised learning does nothing: the selector needs the target.
    void learn_one(const FeatureMap& x) override;
    // Updates each feature's correlation statistics and score; marks the selection stale.
    void learn_one(const FeatureMap& x, double y) override;
    // Before any learning: a copy of x. Otherwise a new record (sized for
    // min(|x|, |selected|)) with the selected entries of x.
    FeatureMap transform_one(const FeatureMap& x) override;
    // Erases the entries that are not selected (nothing before any learning).
    void transform_inplace(FeatureMap& x) override;
    bool requires_target() const override { return true; }
    // Gives order indices, used to break score ties, to names that have none yet.
    void set_feature_order(const std::vector<std::string>& names) override;
    // Forgets statistics, scores and the selection; keeps k, use_abs and the order indices.
    void reset() override;

    std::int32_t k() const { return k_; }
    bool use_abs() const { return use_abs_; }

private:
    // Rebuilds `selected_` when stale: highest score first, then smallest order index.
    void refresh_selection();
    std::int32_t order_index(const std::string& name);

    std::int32_t k_;
    bool use_abs_;
    std::unordered_map<std::string, CorrelationStats> feature_stats_;
    std::unordered_map<std::string, double> scores_;
    std::vector<std::string> seen_features_;  // in order of first appearance
    std::unordered_map<std::string, std::int32_t> feature_order_;
    std::int32_t next_order_index_ = 0;
    std::unordered_set<std::string> selected_;
    bool dirty_ = true;

    // Scratch for the selection sort: (score, order index, position in seen_features_).
    struct Ranked {
        double score;
        std::int32_t order;
        std::size_t seen;
    };
    std::vector<Ranked> ranking_;
};

}  // namespace kavro
