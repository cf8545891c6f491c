// Online max-abs scaling: divides each feature by the largest absolute value seen.
#pragma once

#include <string>
#include <unordered_map>

#include "core/interfaces.hpp"

namespace kavro {

class MaxAbsScaler : public ITransformer {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    // Raises each feature's maximum absolute value.
    void learn_one(const FeatureMap& x) override;
    using ITransformer::learn_one;
    // Copy of x, transformed in place.
    FeatureMap transform_one(const FeatureMap& x) override;
    // v / max_abs; 0 for unseen features or a zero maximum.
    void transform_inplace(FeatureMap& x) override;
    void reset() override;

private:
    std::unordered_map<std::string, double> max_abs_;
};

}  // namespace kavro
