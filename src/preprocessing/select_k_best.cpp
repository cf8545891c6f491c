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
        auto [it, inserted] = feature_stats_.try_emplace(name);
        if (inserted) {
            seen_features_.push_back(name);
            order_index(name);
        }
        CorrelationStats& s = it->second;
        s.x_stats.update(v);
        s.y_stats.update(y);
        s.xy_cov.update(v, y);

        double correlation = 0.0;
        if (s.x_stats.count > s.x_stats.ddof && s.y_stats.count > s.y_stats.ddof) {
            const double var_x = s.x_stats.variance();
            const double var_y = s.y_stats.variance();
            if (var_x != 0.0 && var_y != 0.0) correlation = s.xy_cov.cov / std::sqrt(var_x * var_y);
        }
        scores_[name] = use_abs_ ? std::fabs(correlation) : correlation;
    }
    dirty_ = true;
}

void SelectKBest::set_feature_order(const std::vector<std::string>& names) {
    for (const std::string& name : names) order_index(name);
    dirty_ = true;
}

void SelectKBest::refresh_selection() {
    if (!dirty_) return;
    selected_.clear();
    if (seen_features_.empty()) {
        dirty_ = false;
        return;
    }
    ranking_.clear();
    ranking_.reserve(seen_features_.size());
    for (std::size_t i = 0; i < seen_features_.size(); ++i) {
        const std::string& name = seen_features_[i];
        ranking_.push_back({scores_.at(name), feature_order_.at(name), i});
    }
    // NaN scores rank below every number so that the comparison stays a strict weak order.
    std::sort(ranking_.begin(), ranking_.end(), [](const Ranked& a, const Ranked& b) {
        const bool a_nan = std::isnan(a.score);
        const bool b_nan = std::isnan(b.score);
        if (a_nan != b_nan) return b_nan;
        if (!a_nan && a.score != b.score) return a.score > b.score;
        return a.order < b.order;
    });
    const std::size_t m =
        std::min(static_cast<std::size_t>(std::max<std::int32_t>(k_, 0)), ranking_.size());
    for (std::size_t i = 0; i < m; ++i) selected_.insert(seen_features_[ranking_[i].seen]);
    dirty_ = false;
}

FeatureMap SelectKBest::transform_one(const FeatureMap& x) {
    refresh_selection();
    if (seen_features_.empty()) return x;
    FeatureMap out;
    out.reserve(std::min(x.size(), selected_.size()));
    for (const auto& entry : x) {
        if (selected_.count(entry.first) != 0) out.insert(entry);
    }
    return out;
}

void SelectKBest::transform_inplace(FeatureMap& x) {
    refresh_selection();
    if (seen_features_.empty()) return;
    for (auto it = x.begin(); it != x.end();) {
        if (selected_.count(it->first) != 0) {
            ++it;
        } else {
            it = x.erase(it);
        }
    }
}

void SelectKBest::reset() {
    feature_stats_.clear();
    scores_.clear();
    seen_features_.clear();
    selected_.clear();
    dirty_ = true;
}

}  // namespace kavro
