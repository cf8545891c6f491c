// Baselines every streaming study reports against: no-change and majority-class
// classifiers, no-change and mean regressors.
#pragma once

#include <cstdint>
#include <vector>

#include "core/interfaces.hpp"

namespace kavro {

// Predicts the last label learnt; -1 (and an empty probability map) before any.
class NoChangeClassifier : public IClassifier {
public:
    template <class Ar>
    void visit(Ar& ar);

    void learn_one(const FeatureMap& x, ClassLabel y) override;
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

private:
    bool seen_ = false;
    ClassLabel last_ = -1;
};

// Predicts the most frequent label learnt so far; ties keep the label seen first. Its
// probabilities are the label frequencies.
class MajorityClassClassifier : public IClassifier {
public:
    template <class Ar>
    void visit(Ar& ar);

    void learn_one(const FeatureMap& x, ClassLabel y) override;
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

private:
    // Labels in order of first appearance, with their counts.
    std::vector<ClassLabel> labels_;
    std::vector<std::int64_t> counts_;
    std::int64_t total_ = 0;
};

// Predicts the last target learnt; 0.0 before any.
class NoChangeRegressor : public IRegressor {
public:
    template <class Ar>
    void visit(Ar& ar);

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    void reset() override;

private:
    double last_ = 0.0;
};

// Predicts the running mean of the targets learnt; 0.0 before any.
class MeanRegressor : public IRegressor {
public:
    template <class Ar>
    void visit(Ar& ar);

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    void reset() override;
    std::int64_t n() const { return n_; }

private:
    std::int64_t n_ = 0;
    double mean_ = 0.0;
};

}  // namespace kavro
