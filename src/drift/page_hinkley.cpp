#include "drift/page_hinkley.hpp"

namespace kavro {

PageHinkley::PageHinkley(std::int64_t min_n_instances, double delta, double lambda_value, double alpha)
    : min_n_instances_(min_n_instances), delta_(delta), lambda_(lambda_value), alpha_(alpha) {
    drift_checks::positive_count("min_n_instances", min_n_instances);
    drift_checks::finite("delta", delta);
    drift_checks::finite("lambda_", lambda_value);
    drift_checks::in_closed("alpha", alpha, 0.0, 1.0);
    reset();
}

void PageHinkley::restart() {
    n_ = 1;
    mean_ = 0.0;
    sum_ = 0.0;
}

void PageHinkley::reset() {
    restart();
    clear_flags();
}

void PageHinkley::step(double x) {
    if (drift_) restart();
    mean_ += (x - mean_) / static_cast<double>(n_);
    sum_ = alpha_ * sum_ + (x - mean_ - delta_);
    ++n_;
    drift_ = false;
    if (n_ < min_n_instances_) return;
    if (sum_ > lambda_) report_drift();
}

}  // namespace kavro
