#include "drift/hddm_w.hpp"

#include <cmath>

namespace kavro {

HDDM_W::HDDM_W(double drift_confidence, double warning_confidence, double lambda_value, bool two_sided)
    : drift_confidence_(drift_confidence),
      warning_confidence_(warning_confidence),
      lambda_(lambda_value),
      two_sided_(two_sided) {
    drift_checks::in_range("drift_confidence", drift_confidence, 0.0, 1.0, false);
    drift_checks::in_range("warning_confidence", warning_confidence, 0.0, 1.0, false);
    drift_checks::in_range("lambda_", lambda_value, 0.0, 1.0, true);
    reset();
}

void HDDM_W::restart() { total_ = cut_up_ = after_up_ = cut_down_ = after_down_ = Sample(); }

void HDDM_W::reset() {
    restart();
    clear_flags();
}

void HDDM_W::add(Sample& s, double x) const {
    if (!s.started) {
        s.average = x;
        s.squared_weights = 1.0;
        s.started = true;
    } else {
        const double keep = 1.0 - lambda_;
        s.average = lambda_ * x + keep * s.average;
        s.squared_weights = lambda_ * lambda_ + keep * keep * s.squared_weights;
    }
}

bool HDDM_W::moved(const Sample& cut, const Sample& after, double confidence, double sign) {
    if (!after.started) return false;
    const double bound = std::sqrt((cut.squared_weights + after.squared_weights) * std::log(1.0 / confidence) / 2.0);
    return sign * (after.average - cut.average) > bound;
}

void HDDM_W::step(double x) {
    if (drift_) restart();
    add(total_, x);
    const double bound = std::sqrt(total_.squared_weights * std::log(1.0 / drift_confidence_) / 2.0);
    if (!cut_up_.started || total_.average + bound < cut_up_.average + cut_up_.bound) {
        cut_up_ = total_;
        cut_up_.bound = bound;
        after_up_ = Sample();
    } else {
        add(after_up_, x);
    }
    if (two_sided_) {
        if (!cut_down_.started || total_.average - bound > cut_down_.average - cut_down_.bound) {
            cut_down_ = total_;
            cut_down_.bound = bound;
            after_down_ = Sample();
        } else {
            add(after_down_, x);
        }
    }

    drift_ = warning_ = false;
    if (moved(cut_up_, after_up_, drift_confidence_, 1.0)) {
        report_drift();
    } else if (moved(cut_up_, after_up_, warning_confidence_, 1.0)) {
        warning_ = true;
    }
    if (two_sided_ && moved(cut_down_, after_down_, drift_confidence_, -1.0)) restart();
}

}  // namespace kavro
