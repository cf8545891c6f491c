#include "drift/hddm_a.hpp"

#include <cmath>

namespace kavro {

namespace {

// Whether the mean (sum2 / n2) of all values exceeds the cut's (sum1 / n1) by the bound.
bool mean_increased(double sum1, std::int64_t count1, double sum2, std::int64_t count2, double confidence) {
    if (count1 == count2) return false;
    const double n1 = static_cast<double>(count1), n2 = static_cast<double>(count2);
    const double m = (n2 - n1) / n1 * (1.0 / n2);
    const double bound = std::sqrt(m / 2.0 * std::log(2.0 / confidence));
    return sum2 / n2 - sum1 / n1 >= bound;
}

}  // namespace

HDDM_A::HDDM_A(double drift_confidence, double warning_confidence, bool two_sided)
    : drift_confidence_(drift_confidence), warning_confidence_(warning_confidence), two_sided_(two_sided) {
    drift_checks::in_range("drift_confidence", drift_confidence, 0.0, 1.0, false);
    drift_checks::in_range("warning_confidence", warning_confidence, 0.0, 1.0, false);
    reset();
}

void HDDM_A::restart() {
    n_ = n_min_ = n_max_ = 0;
    total_ = total_min_ = total_max_ = 0.0;
}

void HDDM_A::reset() {
    restart();
    clear_flags();
}

void HDDM_A::step(double x) {
    if (drift_) restart();
    ++n_;
    total_ += x;
    if (n_min_ == 0) {
        n_min_ = n_;
        total_min_ = total_;
    }
    if (n_max_ == 0) {
        n_max_ = n_;
        total_max_ = total_;
    }
    const double log_term = std::log(1.0 / drift_confidence_);
    const double n = static_cast<double>(n_);
    const double bound = std::sqrt(log_term / (2.0 * n));
    const double mean = total_ / n;
    if (total_min_ / static_cast<double>(n_min_) + std::sqrt(log_term / (2.0 * static_cast<double>(n_min_))) >=
        mean + bound) {
        n_min_ = n_;
        total_min_ = total_;
    }
    if (total_max_ / static_cast<double>(n_max_) - std::sqrt(log_term / (2.0 * static_cast<double>(n_max_))) <=
        mean - bound) {
        n_max_ = n_;
        total_max_ = total_;
    }

    drift_ = warning_ = false;
    if (mean_increased(total_min_, n_min_, total_, n_, drift_confidence_)) {
        report_drift();
    } else if (mean_increased(total_min_, n_min_, total_, n_, warning_confidence_)) {
        warning_ = true;
    }
    if (two_sided_ && mean_increased(-total_max_, n_max_, -total_, n_, drift_confidence_)) restart();
}

}  // namespace kavro
