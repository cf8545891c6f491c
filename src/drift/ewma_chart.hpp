// Exponentially weighted moving average chart over a stream of prediction outcomes.
#pragma once

#include <cstdint>

#include "drift/detector_base.hpp"

namespace kavro {

// Ross, Adams, Tasoulis and Hand, "Exponentially weighted moving average charts for detecting
// concept drift", Pattern Recognition Letters 2012 (ECDD). Compares the moving average
// z = z + lambda_ (x - z) of the outcomes with the error rate p of the whole concept:
// z > p + L(p) sigma is a drift, z > p + L(p) sigma / 2 a warning, where sigma is the
// deviation of z under a constant p and L(p) the paper's control limit polynomial for an
// average run length of 400. Warnings are tested from the (min_n_instances - 1)-th outcome
// on, drifts from the min_n_instances-th. After a drift the next update starts afresh.
class EWMAChart final : public DetectorBase {
public:
    // Throws std::invalid_argument for min_n_instances below 1 or lambda_ outside (0, 1].
    explicit EWMAChart(std::int64_t min_n_instances = 30, double lambda_ = 0.2);

    // One outcome: 0 correct, 1 error (anything else is refused).
    void update(double x) override {
        check_input(x);
        step(x);
    }
    static void check_input(double x) { drift_checks::outcome(x); }
    void step(double x);
    void reset() override;

    std::int64_t min_n_instances() const { return min_n_instances_; }
    double lambda() const { return lambda_; }

    template <class Ar>
    void visit(Ar& ar);

private:
    void restart();

    std::int64_t min_n_instances_;
    double lambda_;

    std::int64_t n_ = 1;  // outcomes seen since the restart, plus one
    double sum_ = 0.0;
    double z_ = 0.0;
};

}  // namespace kavro
