#include "preprocessing/standard_scaler.hpp"

#include <cmath>

namespace kavro {

void StandardScaler::learn_one(const FeatureMap& x) {
    for (const auto& [name, v] : x) {
        MeanVariance& s = stats_[name];
        s.count = s.count + 1.0;
        const double d = v - s.mean;
        s.mean = d / s.count + s.mean;
        if (with_std_) s.variance = std::fma(d, v - s.mean, -s.variance) / s.count + s.variance;
    }
}

FeatureMap StandardScaler::transform_one(const FeatureMap& x) {
    FeatureMap out = x;
    transform_inplace(out);
    return out;
}

void StandardScaler::transform_inplace(FeatureMap& x) {
    if (with_std_) {
        for (auto& [name, v] : x) {
            auto it = stats_.find(name);
            if (it == stats_.end() || it->second.variance == 0.0) {
                v = 0.0;
            } else {
                v = (v - it->second.mean) / std::sqrt(it->second.variance);
            }
        }
    } else {
        for (auto& [name, v] : x) {
            auto it = stats_.find(name);
            if (it != stats_.end()) v = v - it->second.mean;
        }
    }
}

void StandardScaler::reset() { stats_.clear(); }

}  // namespace kavro
