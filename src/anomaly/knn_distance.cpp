#include "anomaly/knn_distance.hpp"

#include <algorithm>
#include <cmath>
#include <queue>

namespace kavro {

KNNDistance::KNNDistance(int k, int window_size) : k_(k), window_size_(window_size) {
    anomaly::require_positive("KNNDistance", "k", k);
    anomaly::require_positive("KNNDistance", "window_size", window_size);
}

void KNNDistance::learn_one(const FeatureMap& x) {
    if (!space_.fixed()) {
        space_.fix(x);
        if (!space_.fixed()) return;
    }
    const std::size_t d = space_.size();
    if (count_ < window_size_) {
        points_.resize(points_.size() + d);
        ++count_;
    }
    space_.dense(x, points_.data() + static_cast<std::size_t>(next_) * d);
    next_ = (next_ + 1) % window_size_;
}

double KNNDistance::score_one(const FeatureMap& x) const {
    if (count_ == 0) return 0.0;
    const std::size_t d = space_.size();
    std::vector<double> v(d);
    space_.dense(x, v.data());
    const std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(k_), static_cast<std::size_t>(count_));
    // The k smallest squared distances, largest on top.
    std::priority_queue<double> best;
    const double* p = points_.data();
    for (std::int64_t i = 0; i < count_; ++i, p += d) {
        double s = 0.0;
        for (std::size_t j = 0; j < d; ++j) {
            const double diff = p[j] - v[j];
            s += diff * diff;
        }
        if (best.size() < k) {
            best.push(s);
        } else if (s < best.top()) {
            best.pop();
            best.push(s);
        }
    }
    return std::sqrt(best.top());
}

void KNNDistance::reset() {
    space_ = anomaly::FeatureSpace{};
    points_.clear();
    count_ = 0;
    next_ = 0;
}

}  // namespace kavro
