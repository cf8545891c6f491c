// Ensembles whose members are independent between examples once the ensemble's
// own random draws are made: learn_one(x, y) is draw_example followed by
// member_step for every member in order. Steps of different members touch
// disjoint state, so a batch can make every example's draws first, in order,
// then train disjoint sets of members on different threads.
#pragma once

#include <cstddef>
#include <vector>

#include "core/types.hpp"

namespace kavro::ensemble {

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

protected:
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
