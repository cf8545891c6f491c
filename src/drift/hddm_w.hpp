// Drift detection from McDiarmid's bound on exponentially weighted averages (the W-test).
#pragma once

#include "drift/detector_base.hpp"

namespace kavro {

// Frías-Blanco et al., "Online and non-parametric drift detection methods based on
// Hoeffding's bounds", IEEE TKDE 2015 (HDDM_W). Keeps the weighted average of all values
// (weight lambda_ on the newest) with the sum of its squared weights, and a cut: the average
// whose value plus its bound was lowest. The values after the cut get their own weighted
// average; when it exceeds the cut's by the bound of both at drift_confidence, a drift; at
// warning_confidence, a warning. two_sided mirrors this for decreases, which restart the
// statistics without reporting (only increases of the monitored value are drifts).
class HDDM_W final : public DetectorBase {
public:
    // Throws std::invalid_argument unless both confidences lie in (0, 1) and lambda_ in (0, 1].
    explicit HDDM_W(double drift_confidence = 0.001, double warning_confidence = 0.005, double lambda_ = 0.05,
                    bool two_sided = true);

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
    double lambda() const { return lambda_; }
    bool two_sided() const { return two_sided_; }

    // A weighted average with the sum of its squared weights (and, for a cut, its bound).
    class Sample {
    public:
        template <class Ar>
        void visit(Ar& ar);
        double average = 0.0;
        double squared_weights = 0.0;
        double bound = 0.0;
        bool started = false;
    };

    template <class Ar>
    void visit(Ar& ar);

private:
    void restart();
    void add(Sample& s, double x) const;
    // sign +1: whether after's average exceeds cut's by the bound; -1: falls below it.
    static bool moved(const Sample& cut, const Sample& after, double confidence, double sign);

    double drift_confidence_;
    double warning_confidence_;
    double lambda_;
    bool two_sided_;

    Sample total_;
    Sample cut_up_, after_up_;      // increases
    Sample cut_down_, after_down_;  // decreases (two_sided)
};

}  // namespace kavro
