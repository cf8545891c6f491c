#include "preprocessing/variance_threshold.hpp"

namespace kavro {

void VarianceThreshold::learn_one(const FeatureMap& x) {
    for (const auto& [name, v] : x) feature_stats_[name].update(v);
}

bool VarianceThreshold::survives(const std::string& name) const {
    auto it = feature_stats_.find(name);
    if (it == feature_stats_.end()) return true;
    const WelfordStats& s = it->second;
    if (static_cast<double>(min_samples_) > s.count) return true;
    return s.variance() > threshold_;
}

FeatureMap VarianceThreshold::transform_one(const FeatureMap& x) {
    FeatureMap out;
    out.reserve(x.size());
    for (const auto& entry : x) {
        if (survives(entry.first)) out.insert(entry);
    }
    return out;
}

void VarianceThreshold::transform_inplace(FeatureMap& x) {
    for (auto it = x.begin(); it != x.end();) {
        if (survives(it->first)) {
            ++it;
        } else {
            it = x.erase(it);
        }
    }
}

void VarianceThreshold::reset() { feature_stats_.clear(); }

}  // namespace kavro
