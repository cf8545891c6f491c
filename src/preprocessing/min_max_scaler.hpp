// Online min-max scaling: maps each feature's learned range onto [0, 1] (unclipped).
#pragma once

#include <string>
#include <unordered_map>

#include "core/interfaces.hpp"

namespace kavro {

class MinMaxScaler : public ITransformer {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    struct MinMaxRange {
        bool has_min = false;
        double min = 0.0;
        bool has_max = false;
        double max = 0.0;
    };

    // Widens each feature's range; a NaN is kept only as the first value of a feature.
    void learn_one(const FeatureMap& x) override;
    using ITransformer::learn_one;
    // Copy of x, transformed in place.
    FeatureMap transform_one(const FeatureMap& x) override;
    // (v - min) / (max - min); 0 for unseen features or an empty range.
    void transform_inplace(FeatureMap& x) override;
    void reset() override;

private:
    std::unordered_map<std::string, MinMaxRange> ranges_;
};

}  // namespace kavro
