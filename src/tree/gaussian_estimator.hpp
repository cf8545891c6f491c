// Running Gaussian summary of one feature's values, kept per class at a
// classification-tree leaf.
#pragma once

#include <cmath>

namespace kavro {

struct GaussianEstimator {
    double weight = 0.0;
    double mean = 0.0;
    double m2 = 0.0;
    double min = 0.0;
    double max = 0.0;
    // variance() and, when it is positive, the density's normaliser
    // sqrt(2 pi variance()); kept by update.
    double var = 0.0;
    double norm = 0.0;

    void update(double value) {
        if (weight <= 0.0) {
            min = value;
            max = value;
        } else if (value < min) {
            min = value;
        } else if (value > max) {
            max = value;
        }
        weight += 1.0;
        const double old = mean;
        mean = old + (value - old) / weight;
        m2 = std::fma(value - old, value - mean, m2);
        var = weight > 1.0 ? m2 / (weight - 1.0) : 0.0;
        if (var > 0.0) norm = std::sqrt(6.283185307179586 * var);
    }

    // Sample variance; 0 until two values have been seen.
    double variance() const { return var; }

    double std_dev() const { return std::sqrt(var); }

    // Normal density at v; a zero-variance summary is a point mass at its mean.
    double pdf(double v) const {
        if (weight < 2.0) return 0.0;
        if (var > 0.0) {
            const double d = v - mean;
            return std::exp(-0.5 * (d * d) / var) / norm;
        }
        return v == mean ? 1.0 : 0.0;
    }
};

}  // namespace kavro
