// Statistical test of equal proportions between recent and older prediction outcomes.
#pragma once

#include <cstdint>
#include <vector>

#include "drift/detector_base.hpp"

namespace kavro {

// Nishida and Yamauchi, "Detecting concept drift using statistical testing", Discovery
// Science 2007 (STEPD). Compares the accuracy of the last window_size outcomes with that of
// all older ones (since the restart) by the two-proportion test with continuity correction;
// a two-sided p-value below alpha_drift is a drift, below alpha_warning a warning. Tests start
// once the older outcomes number window_size. A test with no variance (every outcome alike)
// has an infinite statistic and so detects. After a drift the next update starts afresh.
class STEPD final : public DetectorBase {
public:
    // Throws std::invalid_argument for window_size below 1 or an alpha outside (0, 1).
    explicit STEPD(std::int64_t window_size = 30, double alpha_drift = 0.003, double alpha_warning = 0.05);

    // One outcome: 0 correct, 1 error (anything else is refused).
    void update(double x) override {
        check_input(x);
        step(x);
    }
    static void check_input(double x) { drift_checks::outcome(x); }
    void step(double x);
    void reset() override;

    std::int64_t window_size() const { return window_size_; }
    double alpha_drift() const { return alpha_drift_; }
    double alpha_warning() const { return alpha_warning_; }

    template <class Ar>
    void visit(Ar& ar);

private:
    void restart();

    std::int64_t window_size_;
    double alpha_drift_;
    double alpha_warning_;

    // Ring of the recent outcomes (1 = correct): `filled` of window_size, the oldest at `head`.
    std::vector<std::uint8_t> window_;
    std::int64_t head_ = 0;
    std::int64_t filled_ = 0;
    std::int64_t recent_correct_ = 0;
    std::int64_t older_correct_ = 0;
    std::int64_t older_ = 0;
};

}  // namespace kavro
