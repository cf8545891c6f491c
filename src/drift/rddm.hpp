// Reactive drift detection method over a stream of prediction outcomes.
#pragma once

#include <cstdint>
#include <vector>

#include "drift/detector_base.hpp"

namespace kavro {

// Barros, Cabral, Gonçalves and Santos, "RDDM: Reactive drift detection method", Expert
// Systems with Applications 2017. DDM's tests (warning_level, drift_level deviations above the
// lowest error rate plus deviation) with three additions: the last min_size_concept outcomes
// are kept, and a restart recomputes the statistics from those since the warning began (only
// the newest one when there was no warning); a warning that lasts warning_limit outcomes
// becomes a drift; a concept longer than max_size_concept that is not in warning restarts
// from its stored outcomes without reporting a drift (keeping its lowest point).
// Tests start once the statistics hold min_n_instances outcomes.
class RDDM final : public DetectorBase {
public:
    // Throws std::invalid_argument for a count below 1, a level not positive and finite,
    // drift_level below warning_level or max_size_concept below min_size_concept.
    explicit RDDM(std::int64_t min_n_instances = 129, double warning_level = 1.773, double drift_level = 2.258,
                  std::int64_t max_size_concept = 40000, std::int64_t min_size_concept = 7000,
                  std::int64_t warning_limit = 1400);

    // One outcome: 0 correct, 1 error (anything else is refused).
    void update(double x) override {
        check_input(x);
        step(x);
    }
    static void check_input(double x) { drift_checks::outcome(x); }
    void step(double x);
    void reset() override;

    std::int64_t min_n_instances() const { return min_n_instances_; }
    double warning_level() const { return warning_level_; }
    double drift_level() const { return drift_level_; }
    std::int64_t max_size_concept() const { return max_size_concept_; }
    std::int64_t min_size_concept() const { return min_size_concept_; }
    std::int64_t warning_limit() const { return warning_limit_; }

    template <class Ar>
    void visit(Ar& ar);

private:
    void restart();
    void set_lowest() {
        p_min_ = p_;
        s_min_ = s_;
        ps_min_ = p_ + s_;
    }

    std::int64_t min_n_instances_;
    double warning_level_;
    double drift_level_;
    std::int64_t max_size_concept_;
    std::int64_t min_size_concept_;
    std::int64_t warning_limit_;

    // Ring of the last min_size_concept outcomes: n_stored_ of them from first_pos_ to last_pos_.
    std::vector<std::uint8_t> stored_;
    std::int64_t n_stored_ = 0;
    std::int64_t first_pos_ = 0;
    std::int64_t last_pos_ = -1;
    std::int64_t last_warn_pos_ = -1;   // ring position where the current warning began, or -1
    std::int64_t last_warn_inst_ = -1;  // outcome number where it began, or -1
    std::int64_t inst_num_ = 0;         // outcomes seen
    bool restart_pending_ = false;      // the next update restarts (after a drift or a long concept)

    std::int64_t n_ = 1;  // outcomes in the statistics, plus one
    std::int64_t n_concept_ = 0;
    double p_ = 1.0;
    double s_ = 0.0;
    double p_min_ = 0.0;
    double s_min_ = 0.0;
    double ps_min_ = 0.0;
};

}  // namespace kavro
