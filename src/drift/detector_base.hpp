// What the catalogued drift detectors share: the drift and warning flags of the last update,
// the number of drifts reported, and the checks of parameters and inputs.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/interfaces.hpp"

namespace kavro {

class DetectorBase : public IDriftDetector {
public:
    bool drift_detected() const override { return drift_; }
    // False for the methods without a warning zone.
    bool warning_detected() const override { return warning_; }
    // Drifts reported since construction or reset(); restarts after a drift keep it.
    std::int64_t n_detections() const { return n_detections_; }

protected:
    void report_drift() {
        drift_ = true;
        ++n_detections_;
    }
    // The flags and count, for the classes' visit.
    template <class Ar>
    void visit_flags(Ar& ar) {
        ar("drift_detected", drift_);
        ar("warning_detected", warning_);
        ar("n_detections", n_detections_);
    }
    void clear_flags() {
        drift_ = warning_ = false;
        n_detections_ = 0;
    }

    bool drift_ = false;
    bool warning_ = false;
    std::int64_t n_detections_ = 0;
};

namespace drift_checks {

inline std::string show(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

inline void positive_count(const char* name, std::int64_t v) {
    if (v < 1) throw std::invalid_argument("'" + std::string(name) + "' must be at least 1 (got " + std::to_string(v) + ").");
}

inline void finite(const char* name, double v) {
    if (!std::isfinite(v)) throw std::invalid_argument("'" + std::string(name) + "' must be finite (got " + show(v) + ").");
}

inline void positive(const char* name, double v) {
    if (!(v > 0.0) || !std::isfinite(v))
        throw std::invalid_argument("'" + std::string(name) + "' must be positive and finite (got " + show(v) + ").");
}

// lo < v < hi (open) or lo < v <= hi (half-open).
inline void in_range(const char* name, double v, double lo, double hi, bool hi_closed) {
    if (!(v > lo && (hi_closed ? v <= hi : v < hi)))
        throw std::invalid_argument("'" + std::string(name) + "' must lie in (" + show(lo) + ", " + show(hi) +
                                    (hi_closed ? "]" : ")") + " (got " + show(v) + ").");
}

inline void in_closed(const char* name, double v, double lo, double hi) {
    if (!(v >= lo && v <= hi))
        throw std::invalid_argument("'" + std::string(name) + "' must lie in [" + show(lo) + ", " + show(hi) +
                                    "] (got " + show(v) + ").");
}

inline void at_least(const char* name, double v, const char* other, double bound) {
    if (!(v >= bound))
        throw std::invalid_argument("'" + std::string(name) + "' must be at least '" + other + "' (got " + show(v) +
                                    " < " + show(bound) + ").");
}

// Inputs: outcomes (0 = correct, 1 = error), values in [0, 1], or any finite value.
inline void outcome(double x) {
    if (!(x == 0.0 || x == 1.0)) throw std::invalid_argument("'x' must be 0 or 1 (got " + show(x) + ").");
}
inline void unit(double x) {
    if (!(x >= 0.0 && x <= 1.0)) throw std::invalid_argument("'x' must lie in [0, 1] (got " + show(x) + ").");
}
inline void real(double x) {
    if (!std::isfinite(x)) throw std::invalid_argument("'x' must be finite (got " + show(x) + ").");
}

}  // namespace drift_checks

}  // namespace kavro
