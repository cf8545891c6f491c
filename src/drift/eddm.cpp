#include "drift/eddm.hpp"

#include <cmath>
#include <stdexcept>

namespace kavro {

namespace {

void require_ordered_thresholds(double alpha, double beta) {
    if (!(alpha >= beta)) {
        throw std::invalid_argument("'alpha' must be greater or equal to 'beta'.");
    }
}

}  // namespace

EDDM::EDDM(int warm_start, double alpha, double beta)
    : warm_start_(warm_start), alpha_(alpha), beta_(beta) {
    require_ordered_thresholds(alpha, beta);
}

void EDDM::set_alpha(double value) {
    require_ordered_thresholds(value, beta_);
    alpha_ = value;
}

void EDDM::set_beta(double value) {
    require_ordered_thresholds(alpha_, value);
    beta_ = value;
}

void EDDM::reset() {
    steps_ = 0;
    last_error_step_ = 0;
    n_errors_ = 0;
    mean_distance_ = 0.0;
    distance_m2_ = 0.0;
    max_statistic_ = -1.0;
    drift_detected_ = false;
    warning_detected_ = false;
}

void EDDM::update(int x) {
    if (drift_detected_) reset();
    ++steps_;
    if (x != 1) return;

    ++n_errors_;
    const double n = static_cast<double>(n_errors_);
    const double distance = static_cast<double>(steps_ - last_error_step_);
    const double new_mean = mean_distance_ + (distance - mean_distance_) / n;
    distance_m2_ += (distance - mean_distance_) * (distance - new_mean);
    mean_distance_ = new_mean;

    if (steps_ > warm_start_) {
        const double s = n_errors_ > 1
                             ? mean_distance_ + 2.0 * std::sqrt(distance_m2_ / (n - 1.0))
                             : mean_distance_;
        if (s > max_statistic_) {
            max_statistic_ = s;
        } else if (n_errors_ > warm_start_) {
            const double ratio = s / max_statistic_;
            if (ratio < beta_) {
                drift_detected_ = true;
            } else {
                warning_detected_ = ratio < alpha_;
            }
        }
    }
    last_error_step_ = steps_;
}

}  // namespace kavro
