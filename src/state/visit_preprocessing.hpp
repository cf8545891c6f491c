// Saved state of the transformers.
#pragma once

#include <cstdint>
#include <vector>

#include "preprocessing/max_abs_scaler.hpp"
#include "preprocessing/min_max_scaler.hpp"
#include "preprocessing/select_k_best.hpp"
#include "preprocessing/standard_scaler.hpp"
#include "preprocessing/variance_threshold.hpp"
#include "preprocessing/welford_stats.hpp"
#include "state/archive.hpp"

namespace kavro {

namespace state {
template <class Ar>
void visit(Ar& ar, StandardScaler::MeanVariance& s) {
    ar("count", s.count);
    ar("mean", s.mean);
    ar("variance", s.variance);
}

template <class Ar>
void visit(Ar& ar, MinMaxScaler::MinMaxRange& r) {
    ar("has_min", r.has_min);
    ar("min", r.min);
    ar("has_max", r.has_max);
    ar("max", r.max);
}

template <class Ar>
void visit(Ar& ar, WelfordStats& s) {
    ar("count", s.count);
    ar("mean", s.mean);
    ar("m2", s.m2);
    ar("ddof", s.ddof);
}

template <class Ar>
void visit(Ar& ar, CovarianceStats& s) {
    ar("count_x", s.count_x);
    ar("mean_x", s.mean_x);
    ar("count_y", s.count_y);
    ar("mean_y", s.mean_y);
    ar("cov", s.cov);
    ar("ddof", s.ddof);
}

template <class Ar>
void visit(Ar& ar, SelectKBest::CorrelationStats& s) {
    ar("x_stats", s.x_stats);
    ar("y_stats", s.y_stats);
    ar("xy_cov", s.xy_cov);
}

// One learned feature of SelectKBest (whose own Feature type is private), as saved.
struct SelectedFeature {
    SelectKBest::CorrelationStats stats;
    double score = 0.0;
    std::int32_t order = 0;
    bool selected = false;
};

template <class Ar>
void visit(Ar& ar, SelectedFeature& f) {
    ar("stats", f.stats);
    ar("score", f.score);
    ar("order", f.order);
    ar("selected", f.selected);
}
}  // namespace state

template <class Ar>
void StandardScaler::visit(Ar& ar) {
    ar("with_std", with_std_);
    ar("stats", stats_);
}

template <class Ar>
void MinMaxScaler::visit(Ar& ar) {
    ar("ranges", ranges_);
}

template <class Ar>
void MaxAbsScaler::visit(Ar& ar) {
    ar("max_abs", max_abs_);
}

template <class Ar>
void VarianceThreshold::visit(Ar& ar) {
    ar("threshold", threshold_);
    ar("min_samples", min_samples_);
    ar("feature_stats", feature_stats_);
}

// The selection (flags, n_selected and whether it is stale) is saved as it stands; the
// ranking scratch is refilled by every reselection.
template <class Ar>
void SelectKBest::visit(Ar& ar) {
    ar("k", k_);
    ar("use_abs", use_abs_);
    ar("feature_index", feature_index_);
    std::vector<state::SelectedFeature> features;
    if constexpr (Ar::mode != state::Mode::read) {
        features.reserve(features_.size());
        for (const Feature& f : features_) {
            features.push_back(state::SelectedFeature{f.stats, f.score, f.order, f.selected});
        }
    }
    ar("features", features);
    if constexpr (Ar::mode == state::Mode::read) {
        features_.clear();
        features_.reserve(features.size());
        for (const state::SelectedFeature& f : features) {
            features_.push_back(Feature{f.stats, f.score, f.order, f.selected});
        }
    }
    ar("n_selected", n_selected_);
    ar("feature_order", feature_order_);
    ar("next_order_index", next_order_index_);
    ar("dirty", dirty_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(feature_index_.size() == features_.size(),
                   "SelectKBest feature index disagrees with its features");
        std::vector<bool> seen(features_.size(), false);
        for (const auto& entry : feature_index_) {
            ar.require(entry.second < features_.size() && !seen[entry.second],
                       "SelectKBest feature positions are not numbered 0 to n - 1");
            seen[entry.second] = true;
        }
        ar.require(n_selected_ <= features_.size(), "SelectKBest selects more features than it has");
        if (!dirty_) {
            std::size_t flagged = 0;
            for (const Feature& f : features_) flagged += f.selected ? 1 : 0;
            ar.require(flagged == n_selected_,
                       "SelectKBest selection flags disagree with the number selected");
        }
        ar.require(next_order_index_ >= 0 &&
                       feature_order_.size() == static_cast<std::size_t>(next_order_index_),
                   "SelectKBest order indices disagree with the next index");
        ranking_.clear();
    }
}

}  // namespace kavro
