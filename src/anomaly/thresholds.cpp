#include "anomaly/thresholds.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace kavro {

void P2Quantile::add(double x) {
    if (count < 5) {
        heights[static_cast<std::size_t>(count)] = x;
        if (++count == 5) {
            std::sort(heights.begin(), heights.end());
            positions = {1.0, 2.0, 3.0, 4.0, 5.0};
            desired = {1.0, 1.0 + 2.0 * q, 1.0 + 4.0 * q, 3.0 + 2.0 * q, 5.0};
        }
        return;
    }
    std::size_t k;
    if (x < heights[0]) {
        heights[0] = x;
        k = 0;
    } else if (x >= heights[4]) {
        heights[4] = x;
        k = 3;
    } else {
        k = 0;
        while (k < 3 && x >= heights[k + 1]) ++k;
    }
    for (std::size_t i = k + 1; i < 5; ++i) positions[i] += 1.0;
    const std::array<double, 5> step = {0.0, q / 2.0, q, (1.0 + q) / 2.0, 1.0};
    for (std::size_t i = 0; i < 5; ++i) desired[i] += step[i];
    for (std::size_t i = 1; i < 4; ++i) {
        const double gap = desired[i] - positions[i];
        if ((gap >= 1.0 && positions[i + 1] - positions[i] > 1.0) ||
            (gap <= -1.0 && positions[i - 1] - positions[i] < -1.0)) {
            const double s = gap >= 0.0 ? 1.0 : -1.0;
            const double n0 = positions[i - 1], n1 = positions[i], n2 = positions[i + 1];
            const double q0 = heights[i - 1], q1 = heights[i], q2 = heights[i + 1];
            const double parabolic =
                q1 + s / (n2 - n0) * ((n1 - n0 + s) * (q2 - q1) / (n2 - n1) + (n2 - n1 - s) * (q1 - q0) / (n1 - n0));
            if (q0 < parabolic && parabolic < q2) {
                heights[i] = parabolic;
            } else {
                const std::size_t j = s > 0.0 ? i + 1 : i - 1;
                heights[i] = q1 + s * (heights[j] - q1) / (positions[j] - n1);
            }
            positions[i] += s;
        }
    }
    ++count;
}

double P2Quantile::get() const {
    if (count == 0) return 0.0;
    if (count >= 5) return heights[2];
    std::array<double, 5> seen = heights;
    std::sort(seen.begin(), seen.begin() + count);
    const auto rank = static_cast<std::int64_t>(std::ceil(q * static_cast<double>(count)));
    return seen[static_cast<std::size_t>(std::clamp<std::int64_t>(rank - 1, 0, count - 1))];
}

ThresholdBase::ThresholdBase(std::shared_ptr<IAnomalyDetector> detector)
    : detector_(std::move(detector)) {}

ThresholdFilter::ThresholdFilter(std::shared_ptr<IAnomalyDetector> detector, double threshold)
    : ThresholdBase(std::move(detector)), threshold_(threshold) {
    if (!detector_) throw std::invalid_argument("ThresholdFilter: 'detector' must not be None.");
    if (std::isnan(threshold)) throw std::invalid_argument("ThresholdFilter: threshold must not be NaN.");
}

void ThresholdFilter::learn_one(const FeatureMap& x) {
    if (!predict_one(x)) detector_->learn_one(x);
}

QuantileThreshold::QuantileThreshold(std::shared_ptr<IAnomalyDetector> detector, double q)
    : ThresholdBase(std::move(detector)), quantile_(q) {
    if (!detector_) throw std::invalid_argument("QuantileThreshold: 'detector' must not be None.");
    if (!(q >= 0.0 && q <= 1.0)) {
        throw std::invalid_argument("QuantileThreshold: q must lie in [0, 1] (got " + std::to_string(q) + ").");
    }
}

double QuantileThreshold::threshold() const {
    return quantile_.count == 0 ? std::numeric_limits<double>::infinity() : quantile_.get();
}

void QuantileThreshold::learn_one(const FeatureMap& x) {
    const double s = detector_->score_one(x);
    const bool alarm = s > threshold();
    quantile_.add(s);
    if (!alarm) detector_->learn_one(x);
}

void QuantileThreshold::reset() {
    quantile_ = P2Quantile(quantile_.q);
    detector_->reset();
}

}  // namespace kavro
