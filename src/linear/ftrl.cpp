#include "linear/ftrl.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

namespace kavro {

namespace {

double weight_of(const FTRLOptions& o, const FTRLSlot& s) {
    if (std::fabs(s.z) <= o.l1) return 0.0;
    const double shrunk = s.z - std::copysign(o.l1, s.z);
    return -shrunk / ((o.beta + std::sqrt(s.n)) / o.alpha + o.l2);
}

bool usable(double v) { return v != 0.0 && std::isfinite(v); }

void update(const FTRLOptions& o, FTRLSlot& s, double w, double g) {
    const double sigma = (std::sqrt(s.n + g * g) - std::sqrt(s.n)) / o.alpha;
    s.z += g - sigma * w;
    s.n += g * g;
}

void require_finite_at_least(const char* name, double value, double minimum, bool strict) {
    const bool ok = std::isfinite(value) && (strict ? value > minimum : value >= minimum);
    if (!ok) {
        throw std::invalid_argument("'" + std::string(name) + "' must be a finite number " +
                                    (strict ? "above " : "of at least ") + std::to_string(minimum) +
                                    " (got " + std::to_string(value) + ").");
    }
}

}  // namespace

void FTRLOptions::check() const {
    require_finite_at_least("alpha", alpha, 0.0, true);
    require_finite_at_least("beta", beta, 0.0, false);
    require_finite_at_least("l1", l1, 0.0, false);
    require_finite_at_least("l2", l2, 0.0, false);
}

double FTRLWeights::score(const FTRLOptions& o, const FeatureMap& x) const {
    double s = weight_of(o, intercept_);
    if (slots_.empty()) return s;
    for (const auto& [name, v] : x) {
        if (!usable(v)) continue;
        const auto it = slots_.find(name);
        if (it != slots_.end()) s += weight_of(o, it->second) * v;
    }
    return s;
}

void FTRLWeights::learn(const FTRLOptions& o, const FeatureMap& x, double y) {
    touched_.clear();
    double s = weight_of(o, intercept_);
    touched_.push_back({&intercept_, 1.0, s});
    for (const auto& [name, v] : x) {
        if (!usable(v)) continue;
        FTRLSlot& slot = slots_[name];
        const double w = weight_of(o, slot);
        s += w * v;
        touched_.push_back({&slot, v, w});
    }
    // Gradient of log(1 + e^(-y s)) in s: p - y01, written to be exactly odd in (s, y).
    const double slope = -y / (1.0 + std::exp(y * s));
    for (const Touched& t : touched_) update(o, *t.slot, t.weight, slope * t.value);
}

void FTRLWeights::negate() {
    intercept_.z = -intercept_.z;
    for (auto& entry : slots_) entry.second.z = -entry.second.z;
}

std::int64_t FTRLWeights::n_nonzero(const FTRLOptions& o) const {
    std::int64_t n = weight_of(o, intercept_) != 0.0 ? 1 : 0;
    for (const auto& entry : slots_) n += weight_of(o, entry.second) != 0.0 ? 1 : 0;
    return n;
}

FTRLClassifier::FTRLClassifier(double alpha, double beta, double l1, double l2)
    : options_{alpha, beta, l1, l2} {
    options_.check();
}

void FTRLClassifier::learn_one(const FeatureMap& x, ClassLabel y) {
    models_.learn(y, [&](FTRLWeights& m, double target) { m.learn(options_, x, target); });
}

ClassLabel FTRLClassifier::predict_one(const FeatureMap& x) {
    return models_.predict([&](const FTRLWeights& m) { return m.score(options_, x); });
}

ProbabilityMap FTRLClassifier::predict_proba_one(const FeatureMap& x) {
    return models_.proba([&](const FTRLWeights& m) { return m.score(options_, x); });
}

void FTRLClassifier::reset() { models_.clear(); }

std::int64_t FTRLClassifier::n_nonzero() const {
    std::int64_t n = 0;
    for (const auto& m : models_.models) n += m.n_nonzero(options_);
    return n;
}

double FTRLClassifier::weight(const FTRLSlot& s) const { return weight_of(options_, s); }

}  // namespace kavro
