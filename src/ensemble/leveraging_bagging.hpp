// Online bagging with Poisson(lambda) repetitions; each member is rebuilt when
// its own drift detector fires.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/interfaces.hpp"
#include "core/random.hpp"
#include "drift/adwin.hpp"
#include "ensemble/member_steps.hpp"
#include "tree/fimtdd_regressor.hpp"
#include "tree/hoeffding_tree_classifier.hpp"

namespace kavro {

class LeveragingBaggingClassifier : public IClassifier,
                                    public ensemble::MemberSteps<ClassLabel> {
public:
    LeveragingBaggingClassifier(int n_models = 10, std::uint32_t seed = 0,
                                double lambda_value = 6.0, double drift_delta = 0.002,
                                int grace_period = 50, int max_depth = 20,
                                double split_confidence = 0.01);

    void learn_one(const FeatureMap& x, ClassLabel y) override;
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    // Draws: one Poisson count per member, in member order.
    std::size_t n_members() const override { return members_.size(); }
    double draw_example(const FeatureMap& x, ClassLabel y, int* counts) override;
    void member_step(std::size_t i, const FeatureMap& x, ClassLabel y, int count,
                     double scale) override;
    ensemble::ClassVote member_vote(std::size_t i, const FeatureMap& x) override;
    ClassLabel combine_votes(const ensemble::ClassVote* votes) override;

    int n_models() const { return n_models_; }
    void set_n_models(int value) { n_models_ = value; }  // applied at the next reset
    std::uint32_t seed() const { return seed_; }
    void set_seed(std::uint32_t value) { seed_ = value; }  // applied at the next reset

    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

private:
    struct Member {
        std::unique_ptr<HoeffdingTreeClassifier> model;
        ADWIN drift_detector;
    };

    std::unique_ptr<HoeffdingTreeClassifier> make_tree() const;

    int n_models_;
    std::uint32_t seed_;
    double lambda_value_;
    double drift_delta_;
    double split_confidence_;
    int grace_period_;
    int max_depth_;
    std::vector<Member> members_;
    Rng rng_;
};

class LeveragingBaggingRegressor : public IRegressor, public ensemble::MemberSteps<double> {
public:
    // A negative n_models is rejected (std::length_error from reset).
    LeveragingBaggingRegressor(int n_models = 10, std::uint32_t seed = 0,
                               double lambda_value = 6.0, double drift_delta = 0.002,
                               int grace_period = 50, int max_depth = 20,
                               double split_confidence = 0.01,
                               std::string leaf_prediction = "adaptive");

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    void reset() override;

    // The example's target enters the running target deviation, which scales
    // every member's error; then one Poisson count per member, in member order.
    std::size_t n_members() const override { return members_.size(); }
    double draw_example(const FeatureMap& x, double y, int* counts) override;
    void member_step(std::size_t i, const FeatureMap& x, double y, int count,
                     double scale) override;
    ensemble::ValueVote member_vote(std::size_t i, const FeatureMap& x) override;
    double combine_votes(const ensemble::ValueVote* votes) override;

    int n_models() const { return n_models_; }
    void set_n_models(int value);  // applied at the next reset; negative rejected
    std::uint32_t seed() const { return seed_; }
    void set_seed(std::uint32_t value) { seed_ = value; }  // applied at the next reset
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

private:
    struct Member {
        std::unique_ptr<FIMTDDRegressor> model;
        ADWIN drift_detector;

        // Names every field of the saved state, in order (defined with the state module).
        template <class Ar>
        void visit(Ar& ar);
    };

    std::unique_ptr<FIMTDDRegressor> make_tree(std::size_t position) const;

    int n_models_;
    std::uint32_t seed_;
    double lambda_value_;
    double drift_delta_;
    double split_confidence_;
    int grace_period_;
    int max_depth_;
    std::string leaf_prediction_;
    std::uint32_t member_seed_base_ = 0;  // seed at the last reset
    double target_count_ = 0.0;
    double target_sum_ = 0.0;
    double target_sum_sq_ = 0.0;
    std::vector<Member> members_;
    Rng rng_;
};

}  // namespace kavro
