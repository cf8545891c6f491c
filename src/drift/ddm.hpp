// Drift detection method over a stream of prediction outcomes.
#pragma once

#include <cstdint>

#include "drift/detector_base.hpp"

namespace kavro {

// Gama, Medas, Castillo and Rodrigues, "Learning with drift detection", SBIA 2004. Tracks the
// error rate p and its deviation s = sqrt(p (1 - p) / n) and the point where p + s was lowest:
// p + s beyond p_min + warning_level * s_min warns, beyond p_min + out_control_level * s_min
// drifts. Nothing is tested before min_n_instances outcomes. After a drift the next update
// starts from a fresh state.
class DDM final : public DetectorBase {
public:
    // Throws std::invalid_argument for min_n_instances below 1, a level not positive and
    // finite, or out_control_level below warning_level.
    explicit DDM(std::int64_t min_n_instances = 30, double warning_level = 2.0, double out_control_level = 3.0);

    // One outcome: 0 correct, 1 error (anything else is refused).
    void update(double x) override {
        check_input(x);
        step(x);
    }
    static void check_input(double x) { drift_checks::outcome(x); }
    // update() without the check.
    void step(double x);
    void reset() override;

    std::int64_t min_n_instances() const { return min_n_instances_; }
    double warning_level() const { return warning_level_; }
    double out_control_level() const { return out_control_level_; }

    template <class Ar>
    void visit(Ar& ar);

private:
    void restart();

    std::int64_t min_n_instances_;
    double warning_level_;
    double out_control_level_;

    std::int64_t n_ = 1;  // outcomes seen since the restart, plus one
    double p_ = 1.0;
    double s_ = 0.0;
    double p_min_ = 0.0;
    double s_min_ = 0.0;
    double ps_min_ = 0.0;
};

}  // namespace kavro
