// Online bagging of any learner (Oza & Russell, AISTATS 2001) and its ADWIN variant
// (Bifet et al., KDD 2009). Members are fresh copies of a prototype that is never learnt from.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/interfaces.hpp"
#include "core/random.hpp"
#include "drift/adwin.hpp"
#include "ensemble/member_steps.hpp"

namespace kavro {

// Each member learns each example k ~ Poisson(1) times (draws in member order); the
// prediction averages the members' normalised probabilities.
class BaggingClassifier : public IClassifier, public ensemble::MemberSteps<ClassLabel> {
public:
    BaggingClassifier() = default;  // empty; filled by reading a saved state
    // n_models >= 1 (std::invalid_argument otherwise).
    BaggingClassifier(std::shared_ptr<IClassifier> model, int n_models, std::uint32_t seed);

    void learn_one(const FeatureMap& x, ClassLabel y) override;
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    std::size_t n_members() const override { return members_.size(); }
    double draw_example(const FeatureMap& x, ClassLabel y, int* counts) override;
    void member_step(std::size_t i, const FeatureMap& x, ClassLabel y, int count,
                     double scale) override;
    ensemble::ClassVote member_vote(std::size_t i, const FeatureMap& x) override;
    ClassLabel combine_votes(const ensemble::ClassVote* votes) override;

    const std::shared_ptr<IClassifier>& model() const { return model_; }
    int n_models() const { return n_models_; }
    std::uint32_t seed() const { return seed_; }
    const std::vector<std::shared_ptr<IClassifier>>& members() const { return members_; }

    template <class Ar>
    void visit(Ar& ar);

private:
    ProbabilityMap combine(const ensemble::ClassVote* votes) const;

    std::shared_ptr<IClassifier> model_;
    int n_models_ = 1;
    std::uint32_t seed_ = 0;
    std::vector<std::shared_ptr<IClassifier>> members_;
    Rng rng_;
};

// Online bagging of regressors: Poisson(1) repetitions, the members' mean as prediction.
class BaggingRegressor : public IRegressor, public ensemble::MemberSteps<double> {
public:
    BaggingRegressor() = default;
    BaggingRegressor(std::shared_ptr<IRegressor> model, int n_models, std::uint32_t seed);

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    void reset() override;

    std::size_t n_members() const override { return members_.size(); }
    double draw_example(const FeatureMap& x, double y, int* counts) override;
    void member_step(std::size_t i, const FeatureMap& x, double y, int count,
                     double scale) override;
    ensemble::ValueVote member_vote(std::size_t i, const FeatureMap& x) override;
    double combine_votes(const ensemble::ValueVote* votes) override;

    const std::shared_ptr<IRegressor>& model() const { return model_; }
    int n_models() const { return n_models_; }
    std::uint32_t seed() const { return seed_; }
    const std::vector<std::shared_ptr<IRegressor>>& members() const { return members_; }

    template <class Ar>
    void visit(Ar& ar);

private:
    std::shared_ptr<IRegressor> model_;
    int n_models_ = 1;
    std::uint32_t seed_ = 0;
    std::vector<std::shared_ptr<IRegressor>> members_;
    Rng rng_;
};

// Online bagging where each member's 0/1 error (measured before it learns the example) feeds
// its own ADWIN. When any ADWIN detects a change, the member whose ADWIN estimates the highest
// error (the first on ties) is replaced by a fresh copy with a fresh ADWIN.
class ADWINBaggingClassifier : public IClassifier {
public:
    ADWINBaggingClassifier() = default;
    ADWINBaggingClassifier(std::shared_ptr<IClassifier> model, int n_models, std::uint32_t seed);

    void learn_one(const FeatureMap& x, ClassLabel y) override;
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    const std::shared_ptr<IClassifier>& model() const { return model_; }
    int n_models() const { return n_models_; }
    std::uint32_t seed() const { return seed_; }
    const std::vector<std::shared_ptr<IClassifier>>& members() const { return members_; }
    std::int64_t n_replaced() const { return n_replaced_; }

    static constexpr double kDelta = 0.002;

    template <class Ar>
    void visit(Ar& ar);

private:
    std::shared_ptr<IClassifier> model_;
    int n_models_ = 1;
    std::uint32_t seed_ = 0;
    std::vector<std::shared_ptr<IClassifier>> members_;
    std::vector<ADWIN> detectors_;
    std::int64_t n_replaced_ = 0;
    Rng rng_;
};

namespace meta {

// The checks every meta-learner makes of its prototype and size.
void require_prototype(const void* model);
void require_members(int n_models);

// Average of the members' normalised probabilities (members with none are skipped).
ProbabilityMap mean_proba(const ensemble::ClassVote* votes, std::size_t n);

}  // namespace meta

}  // namespace kavro
