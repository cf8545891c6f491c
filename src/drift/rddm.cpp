#include "drift/rddm.hpp"

#include <cmath>
#include <limits>

namespace kavro {

RDDM::RDDM(std::int64_t min_n_instances, double warning_level, double drift_level, std::int64_t max_size_concept,
           std::int64_t min_size_concept, std::int64_t warning_limit)
    : min_n_instances_(min_n_instances),
      warning_level_(warning_level),
      drift_level_(drift_level),
      max_size_concept_(max_size_concept),
      min_size_concept_(min_size_concept),
      warning_limit_(warning_limit) {
    drift_checks::positive_count("min_n_instances", min_n_instances);
    drift_checks::positive("warning_level", warning_level);
    drift_checks::positive("drift_level", drift_level);
    drift_checks::at_least("drift_level", drift_level, "warning_level", warning_level);
    drift_checks::positive_count("min_size_concept", min_size_concept);
    drift_checks::at_least("max_size_concept", static_cast<double>(max_size_concept), "min_size_concept",
                           static_cast<double>(min_size_concept));
    drift_checks::positive_count("warning_limit", warning_limit);
    // The ring is allocated once; refuse sizes no memory holds.
    if (min_size_concept > (std::int64_t{1} << 32))
        throw std::invalid_argument("'min_size_concept' must be at most 2^32 (got " + std::to_string(min_size_concept) + ").");
    reset();
}

void RDDM::reset() {
    stored_.assign(static_cast<std::size_t>(min_size_concept_), 0);
    n_stored_ = 0;
    first_pos_ = 0;
    last_pos_ = -1;
    last_warn_pos_ = -1;
    last_warn_inst_ = -1;
    inst_num_ = 0;
    restart_pending_ = false;
    n_ = 1;
    n_concept_ = 0;
    p_ = 1.0;
    s_ = 0.0;
    p_min_ = s_min_ = ps_min_ = std::numeric_limits<double>::max();
    clear_flags();
}

// Statistics from the stored outcomes since the warning began (or those the drift kept).
// After a reported drift the lowest point is found anew among them; after a long concept it
// is kept.
void RDDM::restart() {
    const bool after_drift = drift_;
    n_ = 1;
    p_ = 1.0;
    s_ = 0.0;
    if (after_drift) p_min_ = s_min_ = ps_min_ = std::numeric_limits<double>::max();
    if (last_warn_pos_ != -1) {
        first_pos_ = last_warn_pos_;
        n_stored_ = last_pos_ - first_pos_ + 1;
        if (n_stored_ <= 0) n_stored_ += min_size_concept_;
    }
    std::int64_t pos = first_pos_;
    for (std::int64_t i = 0; i < n_stored_; ++i) {
        const double n = static_cast<double>(n_);
        p_ += (static_cast<double>(stored_[static_cast<std::size_t>(pos)]) - p_) / n;
        s_ = std::sqrt(p_ * (1.0 - p_) / n);
        if (after_drift && n_ > min_n_instances_ && p_ + s_ < ps_min_) set_lowest();
        ++n_;
        if (++pos == min_size_concept_) pos = 0;
    }
    last_warn_pos_ = last_warn_inst_ = -1;
    n_concept_ = n_stored_;
    restart_pending_ = false;
    drift_ = false;
}

void RDDM::step(double x) {
    if (restart_pending_) restart();
    drift_ = warning_ = false;

    if (++last_pos_ == min_size_concept_) last_pos_ = 0;
    stored_[static_cast<std::size_t>(last_pos_)] = static_cast<std::uint8_t>(x);
    if (n_stored_ < min_size_concept_) {
        ++n_stored_;
    } else {
        if (++first_pos_ == min_size_concept_) first_pos_ = 0;
        // The ring overwrote where the warning began: it now begins at the oldest outcome kept.
        if (last_warn_pos_ == last_pos_) last_warn_pos_ = first_pos_;
    }

    const double n = static_cast<double>(n_);
    p_ += (x - p_) / n;
    s_ = std::sqrt(p_ * (1.0 - p_) / n);
    ++n_;
    ++n_concept_;

    if (n_ > min_n_instances_) {
        const double ps = p_ + s_;
        if (ps < ps_min_) set_lowest();
        if (ps > p_min_ + drift_level_ * s_min_) {
            report_drift();
            restart_pending_ = true;
            if (last_warn_pos_ == -1) {
                first_pos_ = last_pos_;
                n_stored_ = 1;
            }
        } else if (ps > p_min_ + warning_level_ * s_min_) {
            if (last_warn_inst_ != -1 && inst_num_ - last_warn_inst_ >= warning_limit_) {
                report_drift();
                restart_pending_ = true;
                first_pos_ = last_pos_;
                n_stored_ = 1;
                last_warn_pos_ = last_warn_inst_ = -1;
            } else {
                warning_ = true;
                if (last_warn_inst_ == -1) {
                    last_warn_inst_ = inst_num_;
                    last_warn_pos_ = last_pos_;
                }
            }
        } else {
            last_warn_inst_ = last_warn_pos_ = -1;
        }
        if (n_concept_ >= max_size_concept_ && !warning_) restart_pending_ = true;
    }
    ++inst_num_;
}

}  // namespace kavro
