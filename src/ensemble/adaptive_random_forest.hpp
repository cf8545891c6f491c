// Online random forests of drift-aware Hoeffding trees.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/interfaces.hpp"
#include "core/random.hpp"
#include "ensemble/ensemble_common.hpp"
#include "ensemble/member_steps.hpp"
#include "tree/hoeffding_tree_classifier.hpp"
#include "tree/hoeffding_tree_regressor.hpp"

namespace kavro {

// Each member tree draws a random feature subset at every split attempt.
class ARFClassifier : public IClassifier, public ensemble::MemberSteps<ClassLabel> {
public:
    ARFClassifier(int n_models = 10, std::uint32_t seed = 0, double lambda_value = 6.0,
                  double drift_delta = 0.001, double warning_delta = 0.01, int grace_period = 50,
                  int max_depth = 20, double split_confidence = 0.01, int subspace_size = -1);

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
    void set_seed(std::uint32_t value) { seed_ = value; }

    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

private:
    using Member = ensemble::DriftMember<HoeffdingTreeClassifier>;

    std::unique_ptr<HoeffdingTreeClassifier> make_tree(std::uint32_t tree_seed,
                                                       std::size_t n_features) const;

    int n_models_;
    std::uint32_t seed_;
    double lambda_value_;
    int subspace_size_;
    double drift_delta_;
    double warning_delta_;
    double split_confidence_;
    int grace_period_;
    int max_depth_;
    std::vector<Member> members_;
    Rng rng_;
};

// Each member sees one fixed random subset of the feature names.
class ARFRegressor : public IRegressor, public ensemble::MemberSteps<double> {
public:
    ARFRegressor(int n_models = 10, std::uint32_t seed = 0, double lambda_value = 6.0,
                 double drift_delta = 0.001, double warning_delta = 0.01, int grace_period = 200,
                 int max_depth = 20, double learning_rate = 0.01);

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    void reset() override;

    // Draws: a member's subspace on its first example, then its Poisson count,
    // member by member.
    std::size_t n_members() const override { return members_.size(); }
    double draw_example(const FeatureMap& x, double y, int* counts) override;
    void member_step(std::size_t i, const FeatureMap& x, double y, int count,
                     double scale) override;
    ensemble::ValueVote member_vote(std::size_t i, const FeatureMap& x) override;
    double combine_votes(const ensemble::ValueVote* votes) override;
    bool draws_change_votes() const override;  // until every member has its subspace

    int n_models() const { return n_models_; }
    void set_n_models(int value) { n_models_ = value; }  // applied at the next reset
    std::uint32_t seed() const { return seed_; }
    void set_seed(std::uint32_t value) { seed_ = value; }
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

private:
    using Member = ensemble::DriftMember<HoeffdingTreeRegressor>;

    std::unique_ptr<HoeffdingTreeRegressor> make_tree() const;
    void draw_subspace(Member& member, const FeatureMap& x);

    int n_models_;
    std::uint32_t seed_;
    double lambda_value_;
    double drift_delta_;
    double warning_delta_;
    int grace_period_;
    int max_depth_;
    double learning_rate_;
    std::vector<Member> members_;
    Rng rng_;
};

}  // namespace kavro
