#include "preprocessing/select_k_best.hpp"

#include <algorithm>
#include <cmath>

namespace kavro {

void SelectKBest::learn_one(const FeatureMap&) {}

std::int32_t SelectKBest::order_index(const std::string& name) {
    auto [it, inserted] = feature_order_.try_emplace(name, next_order_index_);
    if (inserted) ++next_order_index_;
    return it->second;
}

void SelectKBest::learn_one(const FeatureMap& x, double y) {
    for (const auto& [name, v] : x) {
        auto [it, inserted] = feature_index_.try_emplace(name, features_.size());
        if (inserted) {
            features_.emplace_back();
            features_.back().order = order_index(name);
        }
        Feature& f = features_[it->second];
        CorrelationStats& s = f.stats;
        s.x_stats.update(v);
        s.y_stats.update(y);
        s.xy_cov.update(v, y);

        double correlation = 0.0;
        if (s.x_stats.count > s.x_stats.ddof && s.y_stats.count > s.y_stats.ddof) {
            const double var_x = s.x_stats.variance();
            const double var_y = s.y_stats.variance();
            if (var_x != 0.0 && var_y != 0.0) correlation = s.xy_cov.cov / std::sqrt(var_x * var_y);
        }
        f.score = use_abs_ ? std::fabs(correlation) : correlation;
    }
    dirty_ = true;
}

void SelectKBest::set_feature_order(const std::vector<std::string>& names) {
    for (const std::string& name : names) order_index(name);
    dirty_ = true;
}

void SelectKBest::refresh_selection() {
    if (!dirty_) return;
    dirty_ = false;
    n_selected_ = 0;
    if (features_.empty()) return;
    ranking_.resize(features_.size());
    for (std::size_t i = 0; i < features_.size(); ++i) {
        features_[i].selected = false;
        ranking_[i] = i;
    }
    // NaN scores rank below every number so that the comparison stays a strict weak order.
    std::sort(ranking_.begin(), ranking_.end(), [this](std::size_t ia, std::size_t ib) {
        const Feature& a = features_[ia];
        const Feature& b = features_[ib];
        const bool a_nan = std::isnan(a.score);
        const bool b_nan = std::isnan(b.score);
        if (a_nan != b_nan) return b_nan;
        if (!a_nan && a.score != b.score) return a.score > b.score;
        return a.order < b.order;
    });
    n_selected_ =
        std::min(static_cast<std::size_t>(std::max<std::int32_t>(k_, 0)), ranking_.size());
    for (std::size_t i = 0; i < n_selected_; ++i) features_[ranking_[i]].selected = true;
}

bool SelectKBest::is_selected(const std::string& name) const {
    auto it = feature_index_.find(name);
    return it != feature_index_.end() && features_[it->second].selected;
}

FeatureMap SelectKBest::transform_one(const FeatureMap& x) {
    refresh_selection();
    if (features_.empty()) return x;
    FeatureMap out;
    out.reserve(std::min(x.size(), n_selected_));
    for (const auto& entry : x) {
        if (is_selected(entry.first)) out.insert(entry);
    }
    return out;
}

void SelectKBest::transform_inplace(FeatureMap& x) {
    refresh_selection();
    if (features_.empty()) return;
    for (auto it = x.begin(); it != x.end();) {
        if (is_selected(it->first)) {
            ++it;
        } else {
            it = x.erase(it);
        }
    }
}

void SelectKBest::reset() {
    feature_index_.clear();
    features_.clear();
    n_selected_ = 0;
    dirty_ = true;
}

}  // namespace kavro
