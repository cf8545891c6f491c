// Alarms from anomaly scores: a fixed threshold, or a running quantile of the scores.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "core/interfaces.hpp"

namespace kavro {

// The P-square estimate of one quantile (Jain & Chlamtac, "The P2 algorithm for dynamic
// calculation of quantiles and histograms without storing observations", CACM 1985): five
// markers, exact while fewer than five values were seen.
class P2Quantile {
public:
    template <class Ar>
    void visit(Ar& ar) {
        ar("q", q);
        ar("heights", heights);
        ar("positions", positions);
        ar("desired", desired);
        ar("count", count);
    }

    explicit P2Quantile(double q_ = 0.5) : q(q_) {}
    void add(double x);
    // The estimate; 0 before any value.
    double get() const;

    double q;
    std::array<double, 5> heights{};
    std::array<double, 5> positions{};
    std::array<double, 5> desired{};
    std::int64_t count = 0;
};

// Base of the thresholding wrappers: scores with the detector, alarms (1) above a threshold,
// and on learn_one passes only records that raise no alarm on to the detector.
class ThresholdBase : public IAnomalyDetector {
public:
    explicit ThresholdBase(std::shared_ptr<IAnomalyDetector> detector);
    double score_one(const FeatureMap& x) const override { return detector_->score_one(x); }
    // 1 when score_one(x) is above the threshold, else 0.
    int predict_one(const FeatureMap& x) const { return score_one(x) > threshold() ? 1 : 0; }
    virtual double threshold() const = 0;
    const std::shared_ptr<IAnomalyDetector>& detector() const { return detector_; }

protected:
    std::shared_ptr<IAnomalyDetector> detector_;
};

// Alarms above a fixed threshold.
class ThresholdFilter : public ThresholdBase {
public:
    template <class Ar>
    void visit(Ar& ar);

    // Throws std::invalid_argument for a null detector or a threshold that is NaN.
    ThresholdFilter(std::shared_ptr<IAnomalyDetector> detector, double threshold);

    void learn_one(const FeatureMap& x) override;
    void reset() override { detector_->reset(); }
    double threshold() const override { return threshold_; }

private:
    double threshold_;
};

// Alarms above the running q-quantile of the scores of the records learnt (no alarm before
// any). learn_one adds the record's score to the quantile, then passes the record on to the
// detector unless it raised an alarm.
class QuantileThreshold : public ThresholdBase {
public:
    template <class Ar>
    void visit(Ar& ar);

    // Throws std::invalid_argument for a null detector or q outside [0, 1].
    QuantileThreshold(std::shared_ptr<IAnomalyDetector> detector, double q = 0.99);

    void learn_one(const FeatureMap& x) override;
    void reset() override;
    double threshold() const override;
    double q() const { return quantile_.q; }

private:
    P2Quantile quantile_;
};

}  // namespace kavro
