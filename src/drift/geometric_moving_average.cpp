#include "drift/geometric_moving_average.hpp"

namespace kavro {

GeometricMovingAverage::GeometricMovingAverage(std::int64_t min_n_instances, double lambda_value, double alpha)
    : min_n_instances_(min_n_instances), lambda_(lambda_value), alpha_(alpha) {
    drift_checks::positive_count("min_n_instances", min_n_instances);
    drift_checks::finite("lambda_", lambda_value);
    drift_checks::in_closed("alpha", alpha, 0.0, 1.0);
    reset();
}

void GeometricMovingAverage::restart() {
    n_ = 1;
    mean_ = 0.0;
    average_ = 0.0;
}

void GeometricMovingAverage::reset() {
    restart();
    clear_flags();
}

void GeometricMovingAverage::step(double x) {
    if (drift_) restart();
    mean_ += (x - mean_) / static_cast<double>(n_);
    average_ = alpha_ * average_ + (1.0 - alpha_) * (x - mean_);
    ++n_;
    drift_ = false;
    if (n_ < min_n_instances_) return;
    if (average_ > lambda_) report_drift();
}

}  // namespace kavro
