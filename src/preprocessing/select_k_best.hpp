// Keeps the k features whose running Pearson correlation with the target scores highest.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/interfaces.hpp"
#include "preprocessing/welford_stats.hpp"

namespace kavro {

class SelectKBest : public ITransformer {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

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

    // Brings a stale selection up to date, as transform_one does; false before any learning,
    // when transform_one keeps every entry.
    bool update_selection() {
        refresh_selection();
        return !features_.empty();
    }
    bool is_selected(const std::string& name) const;
    std::size_t n_selected() const { return n_selected_; }

private:
    // One learned feature, stored in order of first appearance since construction or reset.
    struct Feature {
        CorrelationStats stats;
        double score = 0.0;      // latest (absolute, with use_abs) correlation
        std::int32_t order = 0;  // tie-break index from feature_order_
        bool selected = false;
    };

    // Rebuilds the selection when stale: highest score first, then smallest order index.
    void refresh_selection();
    std::int32_t order_index(const std::string& name);

    std::int32_t k_;
    bool use_abs_;
    // Name -> position in features_; the features' statistics, scores and selection flags
    // live in one array so that reselecting needs no look-ups by name.
    std::unordered_map<std::string, std::size_t> feature_index_;
    std::vector<Feature> features_;
    std::size_t n_selected_ = 0;
    // Kept across reset, so declared and assigned indices still break ties afterwards.
    std::unordered_map<std::string, std::int32_t> feature_order_;
    std::int32_t next_order_index_ = 0;
    bool dirty_ = true;
    std::vector<std::size_t> ranking_;  // scratch for the selection sort
};

}  // namespace kavro
