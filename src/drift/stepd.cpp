#include "drift/stepd.hpp"

#include <cmath>

namespace kavro {

STEPD::STEPD(std::int64_t window_size, double alpha_drift, double alpha_warning)
    : window_size_(window_size), alpha_drift_(alpha_drift), alpha_warning_(alpha_warning) {
    drift_checks::positive_count("window_size", window_size);
    if (window_size > (std::int64_t{1} << 32))
        throw std::invalid_argument("'window_size' must be at most 2^32 (got " + std::to_string(window_size) + ").");
    drift_checks::in_range("alpha_drift", alpha_drift, 0.0, 1.0, false);
    drift_checks::in_range("alpha_warning", alpha_warning, 0.0, 1.0, false);
    reset();
}

void STEPD::restart() {
    window_.assign(static_cast<std::size_t>(window_size_), 0);
    head_ = filled_ = 0;
    recent_correct_ = older_correct_ = older_ = 0;
}

void STEPD::reset() {
    restart();
    clear_flags();
}

void STEPD::step(double x) {
    if (drift_) restart();
    const std::uint8_t correct = x == 0.0 ? 1 : 0;
    if (filled_ < window_size_) {
        window_[static_cast<std::size_t>((head_ + filled_) % window_size_)] = correct;
        ++filled_;
    } else {  // the oldest recent outcome becomes an older one
        const std::uint8_t out = window_[static_cast<std::size_t>(head_)];
        recent_correct_ -= out;
        older_correct_ += out;
        ++older_;
        window_[static_cast<std::size_t>(head_)] = correct;
        if (++head_ == window_size_) head_ = 0;
    }
    recent_correct_ += correct;

    drift_ = warning_ = false;
    if (older_ < window_size_) return;
    const double n_o = static_cast<double>(older_), n_r = static_cast<double>(window_size_);
    const double r_o = static_cast<double>(older_correct_), r_r = static_cast<double>(recent_correct_);
    const double pooled = (r_o + r_r) / (n_o + n_r);
    const double inverse_sum = 1.0 / n_o + 1.0 / n_r;
    const double numerator = std::fabs(r_o / n_o - r_r / n_r) - 0.5 * inverse_sum;
    const double denominator = std::sqrt(pooled * (1.0 - pooled) * inverse_sum);
    const double statistic = numerator / denominator;  // +-inf or NaN (no test) without variance
    const double p_value = std::erfc(std::fabs(statistic) / std::sqrt(2.0));
    if (p_value < alpha_drift_) {
        report_drift();
    } else if (p_value < alpha_warning_) {
        warning_ = true;
    }
}

}  // namespace kavro
