// Saved state of the drift classes: each class's visit names its fields in order.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "drift/adwin.hpp"
#include "drift/eddm.hpp"
#include "state/archive.hpp"

namespace kavro {

// The row width (slots_) follows from max_buckets and is not saved.
template <class Ar>
void ADWIN::visit(Ar& ar) {
    ar("delta", delta_);
    ar("clock", clock_);
    ar("max_buckets", max_buckets_);
    ar("min_window_length", min_window_length_);
    ar("grace_period", grace_period_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(clock_ >= 1, "ADWIN clock is below 1");
        ar.require(max_buckets_ >= 1 && max_buckets_ <= std::numeric_limits<int>::max() - 2,
                   "ADWIN max_buckets is out of range");
        slots_ = static_cast<std::size_t>(max_buckets_) + 2;
    }
    ar("counts", counts_);
    ar("totals", totals_);
    ar("variances", variances_);
    ar("total", total_);
    ar("variance", variance_);
    ar("width", width_);
    ar("until_scan", until_scan_);
    ar("drift_detected", drift_detected_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(!counts_.empty(), "ADWIN has no bucket rows");
        ar.require(counts_.size() <= totals_.size() / slots_ &&
                       totals_.size() == counts_.size() * slots_ &&
                       variances_.size() == totals_.size(),
                   "ADWIN bucket tables disagree with its row count");
        // Rows are exact powers of two, so the window width is their exact sum (below 2^53).
        double sum = 0.0;
        for (std::size_t i = 0; i < counts_.size(); ++i) {
            ar.require(counts_[i] >= 0 && counts_[i] <= max_buckets_,
                       "ADWIN bucket count of a row is out of range");
            if (counts_[i] > 0) sum += std::ldexp(static_cast<double>(counts_[i]), static_cast<int>(
                                                      std::min<std::size_t>(i, 2000)));
        }
        ar.require(counts_.size() == 1 || counts_.back() > 0, "ADWIN's last bucket row is empty");
        ar.require(width_ == sum || !(sum < 9007199254740992.0),
                   "ADWIN window width disagrees with its buckets");
        ar.require(until_scan_ >= 1 && until_scan_ <= clock_,
                   "ADWIN updates before the next scan are out of range");
    }
}

template <class Ar>
void EDDM::visit(Ar& ar) {
    ar("warm_start", warm_start_);
    ar("alpha", alpha_);
    ar("beta", beta_);
    ar("steps", steps_);
    ar("last_error_step", last_error_step_);
    ar("n_errors", n_errors_);
    ar("mean_distance", mean_distance_);
    ar("distance_m2", distance_m2_);
    ar("max_statistic", max_statistic_);
    ar("drift_detected", drift_detected_);
    ar("warning_detected", warning_detected_);
    state::require(ar,
                   steps_ >= 0 && steps_ < std::numeric_limits<std::int64_t>::max() &&
                       n_errors_ >= 0 && n_errors_ <= steps_ && last_error_step_ >= 0 &&
                       last_error_step_ <= steps_,
                   "EDDM step and error counters disagree");
}

}  // namespace kavro
