#include "linear/adaptive_linear.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

namespace kavro {

namespace {


// The step s (w -= s r x) that integrates the unit-weight update ODE, with a = sum r_i x_i^2:
// the prediction after it is p - s a.
// e is exp(y p) for the logistic loss.
double invariant_step(AdaptiveLoss loss, double p, double y, double a, double e) {
    if (loss == AdaptiveLoss::squared) return (p - y) * (-std::expm1(-a)) / a;
    // Logistic, margin z = y p: dz/dh = a / (1 + e^z), so z + e^z grows by a and the margin's
    // change d solves d + e^z0 (e^d - 1) = a (the paper's Lambert W form, solved here without
    // its cancellation for large margins). f(d) is convex and increasing and the gradient step
    // a / (1 + e^z0) lies at or past the root, so Newton's method from there decreases to it.
    // Once a correction c is that small, the error left (below c^2 / 2) is under an ulp of d.
    double d = a / (1.0 + e);
    for (int k = 0; k < 30 && d > 0.0; ++k) {
        const double m = std::expm1(d);
        const double next = d - (d + e * m - a) / (1.0 + e * (m + 1.0));
        if (!(next < d)) break;
        const double c = d - next;
        d = next;
        if (c * c <= 1e-16 * d) break;
    }
    return -y * d / a;
}

bool usable(double v) { return v != 0.0 && std::isfinite(v); }

// Rescale of a weight whose feature's value v exceeds its scale s (s/|v|, squared without
// adaptive steps); 1 otherwise.
double rescale(const AdaptiveOptions& o, const AdaptiveSlot& slot, double v) {
    const double a = std::fabs(v);
    if (!o.normalize || !(a > slot.scale) || slot.scale == 0.0) return 1.0;
    const double r = slot.scale / a;
    return o.adaptive ? r : r * r;
}

}  // namespace

void AdaptiveOptions::check() const {
    if (!(learning_rate > 0.0) || !std::isfinite(learning_rate)) {
        throw std::invalid_argument("'learning_rate' must be a finite number above 0 (got " +
                                    std::to_string(learning_rate) + ").");
    }
    if (!(l2 >= 0.0) || !std::isfinite(l2)) {
        throw std::invalid_argument("'l2' must be a finite number of at least 0 (got " +
                                    std::to_string(l2) + ").");
    }
}

double AdaptiveWeights::score(const AdaptiveOptions& o, const FeatureMap& x) const {
    double s = o.bias ? intercept_.weight : 0.0;
    if (slots_.empty()) return s;
    for (const auto& [name, v] : x) {
        if (!usable(v)) continue;
        const auto it = slots_.find(name);
        if (it == slots_.end()) continue;
        s += it->second.weight * rescale(o, it->second, v) * v;
    }
    return s;
}

void AdaptiveWeights::learn(const AdaptiveOptions& o, AdaptiveLoss loss, const FeatureMap& x, double y) {
    touched_.clear();
    if (o.bias) touched_.emplace_back(&intercept_, 1.0);
    for (const auto& [name, v] : x) {
        if (usable(v)) touched_.emplace_back(&slots_[name], v);
    }
    if (touched_.empty()) return;
    double p = 0.0;
    double norm = 0.0;
    for (auto& [slot, v] : touched_) {
        if (o.normalize) {
            slot->weight *= rescale(o, *slot, v);
            const double size = std::fabs(v);
            if (size > slot->scale) slot->scale = size;
            const double u = v / slot->scale;
            norm += u * u;
        }
        p += slot->weight * v;
    }
    examples_ += 1.0;
    norm_sum_ += norm;
    // Derivative of the loss in p.
    const double e = loss == AdaptiveLoss::logistic ? std::exp(y * p) : 0.0;
    const double slope = loss == AdaptiveLoss::logistic ? -y / (1.0 + e) : p - y;
    if (slope == 0.0 || !std::isfinite(slope)) return;
    double global = o.learning_rate;
    if (o.normalize) global *= o.adaptive ? std::sqrt(examples_ / norm_sum_) : examples_ / norm_sum_;
    rates_.assign(touched_.size(), 0.0);
    double a = 0.0;
    for (std::size_t k = 0; k < touched_.size(); ++k) {
        auto& [slot, v] = touched_[k];
        double denominator = 1.0;
        if (o.adaptive) {
            const double g = slope * v;
            slot->grad2 += g * g;
            if (!(slot->grad2 > 0.0)) continue;
            denominator = std::sqrt(slot->grad2);
        }
        if (o.normalize) denominator *= o.adaptive ? slot->scale : slot->scale * slot->scale;
        const double r = global / denominator;
        rates_[k] = r;
        a += r * v * v;
    }
    if (!(a > 0.0) || !std::isfinite(a)) return;
    const double step = o.invariant ? invariant_step(loss, p, y, a, e) : slope;
    for (std::size_t k = 0; k < touched_.size(); ++k) {
        auto& [slot, v] = touched_[k];
        slot->weight -= step * rates_[k] * v;
        if (o.l2 > 0.0 && slot != &intercept_) slot->weight /= 1.0 + o.l2 * rates_[k];
    }
}

void AdaptiveWeights::negate() {
    intercept_.weight = -intercept_.weight;
    for (auto& entry : slots_) entry.second.weight = -entry.second.weight;
}

AdaptiveLogisticRegression::AdaptiveLogisticRegression(double learning_rate, double l2, bool normalize,
                                                       bool adaptive, bool invariant, bool bias)
    : options_{learning_rate, l2, normalize, adaptive, invariant, bias} {
    options_.check();
}

void AdaptiveLogisticRegression::learn_one(const FeatureMap& x, ClassLabel y) {
    models_.learn(y, [&](AdaptiveWeights& m, double target) {
        m.learn(options_, AdaptiveLoss::logistic, x, target);
    });
}

ClassLabel AdaptiveLogisticRegression::predict_one(const FeatureMap& x) {
    return models_.predict([&](const AdaptiveWeights& m) { return m.score(options_, x); });
}

ProbabilityMap AdaptiveLogisticRegression::predict_proba_one(const FeatureMap& x) {
    return models_.proba([&](const AdaptiveWeights& m) { return m.score(options_, x); });
}

void AdaptiveLogisticRegression::reset() { models_.clear(); }

AdaptiveLinearRegression::AdaptiveLinearRegression(double learning_rate, double l2, bool normalize,
                                                   bool adaptive, bool invariant, bool bias)
    : options_{learning_rate, l2, normalize, adaptive, invariant, bias} {
    options_.check();
}

void AdaptiveLinearRegression::learn_one(const FeatureMap& x, double y) {
    if (!std::isfinite(y)) throw std::invalid_argument("'y' must be a finite number.");
    model_.learn(options_, AdaptiveLoss::squared, x, y);
}

double AdaptiveLinearRegression::predict_one(const FeatureMap& x) { return model_.score(options_, x); }

void AdaptiveLinearRegression::reset() { model_ = AdaptiveWeights(); }

}  // namespace kavro
