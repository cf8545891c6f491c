// Choosing among candidate models while the stream runs: the best so far by a prequential
// measure, and successive halving of the candidates (Karnin et al., ICML 2013).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/interfaces.hpp"
#include "ensemble/member_steps.hpp"
#include "selection/candidates.hpp"

namespace kavro {

// Every candidate learns every example; predictions come from the candidate whose measure is
// best so far (over the last `window` examples when window > 0); ties keep the earlier one.
class ModelSelector : public IClassifier, public ensemble::MemberSteps<ClassLabel> {
public:
    using Core = selection::Candidates<selection::ClassTraits>;
    ModelSelector() = default;
    explicit ModelSelector(Core core);

    void learn_one(const FeatureMap& x, ClassLabel y) override;
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override { core_.reset(); }

    // Candidates as members: no draws; a vote carries the candidate's label and merit.
    std::size_t n_members() const override { return core_.models.size(); }
    double draw_example(const FeatureMap& x, ClassLabel y, int* counts) override;
    void member_step(std::size_t i, const FeatureMap& x, ClassLabel y, int count,
                     double scale) override;
    ensemble::ClassVote member_vote(std::size_t i, const FeatureMap& x) override;
    ClassLabel combine_votes(const ensemble::ClassVote* votes) override;

    const Core& core() const { return core_; }
    std::size_t best() const { return core_.best(); }

    template <class Ar>
    void visit(Ar& ar);

private:
    Core core_;
};

class ModelSelectorRegressor : public IRegressor {
public:
    using Core = selection::Candidates<selection::ValueTraits>;
    ModelSelectorRegressor() = default;
    explicit ModelSelectorRegressor(Core core);

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    void reset() override { core_.reset(); }

    const Core& core() const { return core_; }
    std::size_t best() const { return core_.best(); }

    template <class Ar>
    void visit(Ar& ar);

private:
    Core core_;
};

namespace selection {

// The schedule of successive halving over n candidates: round r lasts
// budget / (|S_r| * rounds) examples, during which every candidate still in S_r learns every
// example; then the best ceil(|S_r| / eta) (by measure, ties keeping the earlier) stay.
template <class Tr>
class Halving {
public:
    Halving() = default;
    // budget >= n * rounds (every round lasts at least one example), eta >= 2.
    Halving(Candidates<Tr> core, std::int64_t budget, int eta);

    void learn_one(const FeatureMap& x, typename Tr::Target y);
    std::size_t best() const { return core.best(&active); }
    void reset();
    int rounds() const;
    std::int64_t round_length() const;

    template <class Ar>
    void visit(Ar& ar);

    Candidates<Tr> core;
    std::int64_t budget = 0;
    int eta = 2;
    std::vector<std::uint8_t> active;  // 1 while the candidate still learns
    int round = 0;                     // rounds completed
    std::int64_t in_round = 0;         // examples of the current round

private:
    std::size_t n_active() const;
};

}  // namespace selection

class SuccessiveHalvingClassifier : public IClassifier {
public:
    using Core = selection::Halving<selection::ClassTraits>;
    SuccessiveHalvingClassifier() = default;
    explicit SuccessiveHalvingClassifier(Core core) : h_(std::move(core)) {}

    void learn_one(const FeatureMap& x, ClassLabel y) override { h_.learn_one(x, y); }
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override { h_.reset(); }

    const Core& halving() const { return h_; }

    template <class Ar>
    void visit(Ar& ar);

private:
    Core h_;
};

class SuccessiveHalvingRegressor : public IRegressor {
public:
    using Core = selection::Halving<selection::ValueTraits>;
    SuccessiveHalvingRegressor() = default;
    explicit SuccessiveHalvingRegressor(Core core) : h_(std::move(core)) {}

    void learn_one(const FeatureMap& x, double y) override { h_.learn_one(x, y); }
    double predict_one(const FeatureMap& x) override;
    void reset() override { h_.reset(); }

    const Core& halving() const { return h_; }

    template <class Ar>
    void visit(Ar& ar);

private:
    Core h_;
};

}  // namespace kavro
