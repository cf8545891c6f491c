// Online boosting (Oza & Russell, AISTATS 2001) and fixed combinations of given classifiers:
// weighted soft voting and stacking.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/interfaces.hpp"
#include "core/random.hpp"
#include "ensemble/member_steps.hpp"

namespace kavro {

// Each example enters with weight lambda = 1. Member m learns it k ~ Poisson(lambda) times,
// then, by whether it now predicts the label, adds lambda to its correct or wrong total and
// scales lambda by 1 / (2 (1 - e_m)) or 1 / (2 e_m), e_m = wrong / (correct + wrong). The
// prediction is a vote of the members' labels with weights log((1 - e_m) / e_m), over members
// with e_m below 1/2 (e_m is floored at kMinError); lambda is capped at kMaxWeight, and an
// example whose lambda falls below kMinWeight goes to no further member.
class AdaBoostClassifier : public IClassifier {
public:
    AdaBoostClassifier() = default;
    AdaBoostClassifier(std::shared_ptr<IClassifier> model, int n_models, std::uint32_t seed);

    void learn_one(const FeatureMap& x, ClassLabel y) override;
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    const std::shared_ptr<IClassifier>& model() const { return model_; }
    int n_models() const { return n_models_; }
    std::uint32_t seed() const { return seed_; }
    const std::vector<std::shared_ptr<IClassifier>>& members() const { return members_; }
    // e_m of every member (0 for a member that has seen nothing).
    std::vector<double> errors() const;

    static constexpr double kMinError = 1e-6;
    static constexpr double kMaxWeight = 1000.0;
    static constexpr double kMinWeight = 1e-12;  // below it, the example goes no further

    template <class Ar>
    void visit(Ar& ar);

private:
    std::shared_ptr<IClassifier> model_;
    int n_models_ = 1;
    std::uint32_t seed_ = 0;
    std::vector<std::shared_ptr<IClassifier>> members_;
    std::vector<double> correct_;  // lambda^sc of each member
    std::vector<double> wrong_;    // lambda^sw of each member
    Rng rng_;
};

// Every member learns every example; the prediction is the weighted mean of the members'
// normalised probabilities (equal weights when none are given).
class VotingClassifier : public IClassifier, public ensemble::MemberSteps<ClassLabel> {
public:
    VotingClassifier() = default;
    // models not empty, none null; weights empty or one finite weight >= 0 per model with a
    // positive sum (std::invalid_argument otherwise).
    VotingClassifier(std::vector<std::shared_ptr<IClassifier>> models, std::vector<double> weights);

    void learn_one(const FeatureMap& x, ClassLabel y) override;
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    std::size_t n_members() const override { return models_.size(); }
    double draw_example(const FeatureMap& x, ClassLabel y, int* counts) override;
    void member_step(std::size_t i, const FeatureMap& x, ClassLabel y, int count,
                     double scale) override;
    ensemble::ClassVote member_vote(std::size_t i, const FeatureMap& x) override;
    ClassLabel combine_votes(const ensemble::ClassVote* votes) override;

    const std::vector<std::shared_ptr<IClassifier>>& models() const { return models_; }
    const std::vector<double>& weights() const { return weights_; }

    template <class Ar>
    void visit(Ar& ar);

private:
    ProbabilityMap combine(const ensemble::ClassVote* votes) const;

    std::vector<std::shared_ptr<IClassifier>> models_;
    std::vector<double> weights_;
};

// The meta model learns from the members' probabilities on x taken before the members learn
// x: feature "<i>:<label>" holds member i's probability of label (members in order, labels in
// the order the member returns them).
class StackingClassifier : public IClassifier {
public:
    StackingClassifier() = default;
    StackingClassifier(std::vector<std::shared_ptr<IClassifier>> models,
                       std::shared_ptr<IClassifier> meta_model);

    void learn_one(const FeatureMap& x, ClassLabel y) override;
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    const std::vector<std::shared_ptr<IClassifier>>& models() const { return models_; }
    const std::shared_ptr<IClassifier>& meta_model() const { return meta_model_; }
    FeatureMap meta_features(const FeatureMap& x);

    template <class Ar>
    void visit(Ar& ar);

private:
    std::vector<std::shared_ptr<IClassifier>> models_;
    std::shared_ptr<IClassifier> meta_model_;
};

namespace meta {

// models not empty and without nulls; `what` names the parameter.
template <class Learner>
void require_models(const std::vector<std::shared_ptr<Learner>>& models, const char* what);
void require_weights(const std::vector<double>& weights, std::size_t n_models);

}  // namespace meta

}  // namespace kavro
