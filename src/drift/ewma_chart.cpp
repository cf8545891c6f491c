#include "drift/ewma_chart.hpp"

#include <cmath>

namespace kavro {

EWMAChart::EWMAChart(std::int64_t min_n_instances, double lambda_value)
    : min_n_instances_(min_n_instances), lambda_(lambda_value) {
    drift_checks::positive_count("min_n_instances", min_n_instances);
    drift_checks::in_range("lambda_", lambda_value, 0.0, 1.0, true);
    reset();
}

void EWMAChart::restart() {
    n_ = 1;
    sum_ = 0.0;
    z_ = 0.0;
}

void EWMAChart::reset() {
    restart();
    clear_flags();
}

void EWMAChart::step(double x) {
    if (drift_) restart();
    const double n = static_cast<double>(n_);
    sum_ += x;
    const double p = sum_ / n;
    const double sigma = std::sqrt(p * (1.0 - p) * lambda_ * (1.0 - std::pow(1.0 - lambda_, 2.0 * n)) / (2.0 - lambda_));
    ++n_;
    z_ += lambda_ * (x - z_);
    const double limit = 3.97 - 6.56 * p + 48.73 * std::pow(p, 3.0) - 330.13 * std::pow(p, 5.0) +
                         848.18 * std::pow(p, 7.0);
    drift_ = warning_ = false;
    if (n_ < min_n_instances_) return;
    if (n_ > min_n_instances_ && z_ > p + limit * sigma) {
        report_drift();
    } else if (z_ > p + 0.5 * limit * sigma) {
        warning_ = true;
    }
}

}  // namespace kavro
