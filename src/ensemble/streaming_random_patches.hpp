// Ensembles of Hoeffding trees trained on random patches: a fixed random feature
// subset per member and/or Poisson-weighted resampling.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/interfaces.hpp"
#include "core/random.hpp"
#include "ensemble/ensemble_common.hpp"
#include "ensemble/member_steps.hpp"
#include "tree/hoeffding_tree_classifier.hpp"
#include "tree/hoeffding_tree_regressor.hpp"

namespace kavro {

namespace ensemble {

// What a member's patch consists of.
enum class PatchMode { Patches, Subspaces, Resampling };

// "subspaces" and "resampling" select those modes; anything else is "patches".
PatchMode patch_mode(const std::string& training_method);

// The member's subspace: round(n * fraction) names (1 at least, n at most) of the
// sorted names, shuffled with a generator seeded from the ensemble seed and the
// member position, then sorted again.
std::vector<std::string> draw_patch_subspace(const FeatureMap& x, double fraction,
                                             std::uint32_t seed, std::size_t position);

}  // namespace ensemble

class SRPClassifier : public IClassifier, public ensemble::MemberSteps<ClassLabel> {
public:
    SRPClassifier(int n_models = 10, std::uint32_t seed = 0, double lambda_value = 6.0,
                  double drift_delta = 0.001, double warning_delta = 0.01, int grace_period = 50,
                  int max_depth = 20, double split_confidence = 0.01,
                  double subspace_fraction = 0.6, std::string training_method = "patches");

    void learn_one(const FeatureMap& x, ClassLabel y) override;
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    // Draws: one Poisson count per member in member order (none for "subspaces",
    // where every count is 1).
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

    std::unique_ptr<HoeffdingTreeClassifier> make_tree() const;
    void initialise(Member& member, std::size_t position, const FeatureMap& x);

    int n_models_;
    std::uint32_t seed_;
    double lambda_value_;
    double subspace_fraction_;
    std::string training_method_;
    ensemble::PatchMode mode_;
    double drift_delta_;
    double warning_delta_;
    double split_confidence_;
    int grace_period_;
    int max_depth_;
    std::vector<Member> members_;
    Rng rng_;
};

class SRPRegressor : public IRegressor, public ensemble::MemberSteps<double> {
public:
    SRPRegressor(int n_models = 10, std::uint32_t seed = 0, double lambda_value = 6.0,
                 double drift_delta = 0.001, double warning_delta = 0.01, int grace_period = 200,
                 int max_depth = 20, double learning_rate = 0.01, double subspace_fraction = 0.6,
                 std::string training_method = "patches");

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    void reset() override;

    // Draws: one Poisson count per member in member order (none for "subspaces",
    // where every count is 1).
    std::size_t n_members() const override { return members_.size(); }
    double draw_example(const FeatureMap& x, double y, int* counts) override;
    void member_step(std::size_t i, const FeatureMap& x, double y, int count,
                     double scale) override;
    ensemble::ValueVote member_vote(std::size_t i, const FeatureMap& x) override;
    double combine_votes(const ensemble::ValueVote* votes) override;

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
    void initialise(Member& member, std::size_t position, const FeatureMap& x);

    int n_models_;
    std::uint32_t seed_;
    double lambda_value_;
    double subspace_fraction_;
    std::string training_method_;
    ensemble::PatchMode mode_;
    double learning_rate_;
    int grace_period_;
    int max_depth_;
    double drift_delta_;
    double warning_delta_;
    std::vector<Member> members_;
    Rng rng_;
};

}  // namespace kavro
