#include "preprocessing/max_abs_scaler.hpp"

#include <cmath>

namespace kavro {

void MaxAbsScaler::learn_one(const FeatureMap& x) {
    for (const auto& [name, v] : x) {
        double& m = max_abs_[name];
        const double a = std::fabs(v);
        if (a > m) m = a;
    }
}

FeatureMap MaxAbsScaler::transform_one(const FeatureMap& x) {
    FeatureMap out = x;
    transform_inplace(out);
    return out;
}

void MaxAbsScaler::transform_inplace(FeatureMap& x) {
    for (auto& [name, v] : x) {
        auto it = max_abs_.find(name);
        v = (it == max_abs_.end() || it->second == 0.0) ? 0.0 : v / it->second;
    }
}

void MaxAbsScaler::reset() { max_abs_.clear(); }

}  // namespace kavro
