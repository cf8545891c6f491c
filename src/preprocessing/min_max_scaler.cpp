#include "preprocessing/min_max_scaler.hpp"

namespace kavro {

void MinMaxScaler::learn_one(const FeatureMap& x) {
    for (const auto& [name, v] : x) {
        MinMaxRange& r = ranges_[name];
        if (!r.has_min || r.min > v) {
            r.min = v;
            r.has_min = true;
        }
        if (!r.has_max || v > r.max) {
            r.max = v;
            r.has_max = true;
        }
    }
}

FeatureMap MinMaxScaler::transform_one(const FeatureMap& x) {
    FeatureMap out = x;
    transform_inplace(out);
    return out;
}

void MinMaxScaler::transform_inplace(FeatureMap& x) {
    for (auto& [name, v] : x) {
        auto it = ranges_.find(name);
        if (it == ranges_.end()) {
            v = 0.0;
            continue;
        }
        const double r = it->second.max - it->second.min;
        // A NaN range is not zero and is used.
        v = r != 0.0 ? (v - it->second.min) / r : 0.0;
    }
}

void MinMaxScaler::reset() { ranges_.clear(); }

}  // namespace kavro
