// Ensembles whose members are independent between examples once the ensemble's
// own random draws are made: learn_one(x, y) is draw_example followed by
// member_step for every member in order. Steps of different members touch
// disjoint state, so a batch can make every example's draws first, in order,
// then train disjoint sets of members on different threads.
//
// predict_one(x) is likewise member_vote for every member (each reads its own
// member only) folded by combine_votes in member order, so a test-then-train loop
// can let each thread take a member's vote on a row just before that member's step.
#pragma once

#include <cstddef>
#include <type_traits>
#include <vector>

#include "core/types.hpp"

namespace kavro::ensemble {

// A classifier member's part of the vote: its probabilities and weight, taken from
// its state at prediction time; `counted` is false for a member that does not vote.
struct ClassVote {
    bool counted = false;
    double weight = 1.0;
    ProbabilityMap proba;
};

// A regressor member's prediction; `counted` as above.
struct ValueVote {
    bool counted = false;
    double value = 0.0;
};

template <class Target>
using MemberVote = std::conditional_t<std::is_same_v<Target, double>, ValueVote, ClassVote>;

template <class Target>
class MemberSteps {
public:
    virtual ~MemberSteps() = default;

    virtual std::size_t n_members() const = 0;

    // Makes the ensemble's draws for (x, y) exactly as learn_one makes them, and
    // any update of the ensemble's own state: counts[i] is member i's repetition
    // count. Returns the example's error scale (1 where the ensemble has none).
    virtual double draw_example(const FeatureMap& x, Target y, int* counts) = 0;

    // Member i's part of learn_one(x, y), given the example's draws. Touches
    // member i only.
    virtual void member_step(std::size_t i, const FeatureMap& x, Target y, int count,
                             double scale) = 0;

    // Member i's part of predict_one(x). Reads member i only.
    virtual MemberVote<Target> member_vote(std::size_t i, const FeatureMap& x) = 0;

    // predict_one from every member's vote, votes[0..n_members()) in member order.
    // Reads the votes and the member count only, so calls may run on several threads.
    virtual Target combine_votes(const MemberVote<Target>* votes) = 0;

    // True while draw_example may change what a member's vote would be (a member
    // set up by its first draw); such examples are predicted before their draws.
    virtual bool draws_change_votes() const { return false; }

protected:
    // predict_one over the two parts.
    Target predict_by_members(const FeatureMap& x) {
        constexpr std::size_t kLocal = 32;
        const std::size_t n = n_members();
        if (n <= kLocal) {
            MemberVote<Target> local[kLocal];
            for (std::size_t i = 0; i < n; ++i) local[i] = member_vote(i, x);
            return combine_votes(local);
        }
        std::vector<MemberVote<Target>> votes(n);
        for (std::size_t i = 0; i < n; ++i) votes[i] = member_vote(i, x);
        return combine_votes(votes.data());
    }

    // learn_one over the two parts.
    void learn_by_members(const FeatureMap& x, Target y) {
        constexpr std::size_t kLocal = 32;
        const std::size_t n = n_members();
        int local[kLocal];
        std::vector<int> heap;
        int* counts = local;
        if (n > kLocal) {
            heap.resize(n);
            counts = heap.data();
        }
        const double scale = draw_example(x, y, counts);
        for (std::size_t i = 0; i < n; ++i) member_step(i, x, y, counts[i], scale);
    }
};

}  // namespace kavro::ensemble
