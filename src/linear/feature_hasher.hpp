// Signed feature hashing (Weinberger et al., "Feature hashing for large scale multitask
// learning", ICML 2009).
#pragma once

#include <cstdint>
#include <string>

#include "core/interfaces.hpp"

namespace kavro {

// Maps each feature name to one of n_features columns, named by their index in decimal, and
// adds its value there times a sign of +1 or -1, both drawn from one 64-bit hash of the name:
// FNV-1a over its bytes from a start mixed with the seed, then the splitmix64 finaliser; the
// lowest bit gives the sign, the others modulo n_features the column. Colliding names add up.
// Stateless: learn_one does nothing. Deterministic across runs and platforms.
class FeatureHasher : public ITransformer {
public:
    template <class Ar>
    void visit(Ar& ar);

    explicit FeatureHasher(std::int64_t n_features = std::int64_t(1) << 20, std::int64_t seed = 0);

    void learn_one(const FeatureMap& x) override;
    FeatureMap transform_one(const FeatureMap& x) override;
    void transform_inplace(FeatureMap& x) override;
    void reset() override;

    // The column of a name and its sign (+1 or -1).
    std::int64_t column(const std::string& name, double& sign) const;

    std::int64_t n_features() const { return n_features_; }
    std::int64_t seed() const { return seed_; }

    static constexpr std::int64_t kMaxFeatures = std::int64_t(1) << 40;
    static constexpr std::int64_t kMaxSeed = (std::int64_t(1) << 32) - 1;
    static void check(std::int64_t n_features, std::int64_t seed);

private:
    std::int64_t n_features_;
    std::int64_t seed_;
};

}  // namespace kavro
