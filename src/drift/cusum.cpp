#include "drift/cusum.hpp"

#include <algorithm>

namespace kavro {

CUSUM::CUSUM(std::int64_t min_n_instances, double delta, double lambda_value)
    : min_n_instances_(min_n_instances), delta_(delta), lambda_(lambda_value) {
    drift_checks::positive_count("min_n_instances", min_n_instances);
    drift_checks::finite("delta", delta);
    drift_checks::finite("lambda_", lambda_value);
    reset();
}

void CUSUM::restart() {
    n_ = 1;
    mean_ = 0.0;
    sum_ = 0.0;
}

void CUSUM::reset() {
    restart();
    clear_flags();
}

void CUSUM::step(double x) {
    if (drift_) restart();
    mean_ += (x - mean_) / static_cast<double>(n_);
    sum_ = std::max(0.0, sum_ + x - mean_ - delta_);
    ++n_;
    drift_ = false;
    if (n_ < min_n_instances_) return;
    if (sum_ > lambda_) report_drift();
}

}  // namespace kavro
