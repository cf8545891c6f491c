#include "drift/ddm.hpp"

#include <cmath>
#include <limits>

namespace kavro {

DDM::DDM(std::int64_t min_n_instances, double warning_level, double out_control_level)
    : min_n_instances_(min_n_instances), warning_level_(warning_level), out_control_level_(out_control_level) {
    drift_checks::positive_count("min_n_instances", min_n_instances);
    drift_checks::positive("warning_level", warning_level);
    drift_checks::positive("out_control_level", out_control_level);
    drift_checks::at_least("out_control_level", out_control_level, "warning_level", warning_level);
    reset();
}

void DDM::restart() {
    n_ = 1;
    p_ = 1.0;
    s_ = 0.0;
    p_min_ = s_min_ = ps_min_ = std::numeric_limits<double>::max();
}

void DDM::reset() {
    restart();
    clear_flags();
}

void DDM::step(double x) {
    if (drift_) restart();
    const double n = static_cast<double>(n_);
    p_ += (x - p_) / n;
    s_ = std::sqrt(p_ * (1.0 - p_) / n);
    ++n_;
    drift_ = warning_ = false;
    if (n_ < min_n_instances_) return;
    const double ps = p_ + s_;
    if (ps <= ps_min_) {
        p_min_ = p_;
        s_min_ = s_;
        ps_min_ = ps;
    }
    if (ps > p_min_ + out_control_level_ * s_min_) {
        report_drift();
    } else if (ps > p_min_ + warning_level_ * s_min_) {
        warning_ = true;
    }
}

}  // namespace kavro
