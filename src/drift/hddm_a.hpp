// Drift detection from Hoeffding's bound on averages (the A-test).
#pragma once

#include <cstdint>

#include "drift/detector_base.hpp"

namespace kavro {

// Frías-Blanco, del Campo-Ávila, Ramos-Jiménez, Morales-Bueno, Ortiz-Díaz and Caballero-Mota,
// "Online and non-parametric drift detection methods based on Hoeffding's bounds", IEEE TKDE
// 2015 (HDDM_A). Keeps the running sum of the values (in [0, 1]) and a cut point: the prefix
// whose mean plus its Hoeffding bound was lowest. When the mean of everything exceeds the
// cut's mean by the bound at drift_confidence, a drift; at warning_confidence, a warning.
// two_sided also keeps the prefix whose mean minus its bound was highest; a significant
// decrease below it restarts the statistics without reporting (only increases of the
// monitored value are drifts).
class HDDM_A final : public DetectorBase {
public:
    // Throws std::invalid_argument unless both confidences lie in (0, 1).
    explicit HDDM_A(double drift_confidence = 0.001, double warning_confidence = 0.005, bool two_sided = true);

    // One value in [0, 1] (anything else is refused).
    void update(double x) override {
        check_input(x);
        step(x);
    }
    static void check_input(double x) { drift_checks::unit(x); }
    void step(double x);
    void reset() override;

    double drift_confidence() const { return drift_confidence_; }
    double warning_confidence() const { return warning_confidence_; }
    bool two_sided() const { return two_sided_; }

    template <class Ar>
    void visit(Ar& ar);

private:
    void restart();

    double drift_confidence_;
    double warning_confidence_;
    bool two_sided_;

    std::int64_t n_ = 0;
    double total_ = 0.0;
    std::int64_t n_min_ = 0;  // cut for increases: its count and sum
    double total_min_ = 0.0;
    std::int64_t n_max_ = 0;  // cut for decreases
    double total_max_ = 0.0;
};

}  // namespace kavro
