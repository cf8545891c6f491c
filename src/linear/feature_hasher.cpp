#include "linear/feature_hasher.hpp"

#include <stdexcept>
#include <string>

namespace kavro {

namespace {

std::uint64_t hash_name(const std::string& name, std::uint64_t seed) {
    std::uint64_t h = 14695981039346656037ULL ^ (seed * 0x9E3779B97F4A7C15ULL);
    for (const char c : name) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ULL;
    }
    h ^= h >> 30;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 27;
    h *= 0x94D049BB133111EBULL;
    h ^= h >> 31;
    return h;
}

}  // namespace

void FeatureHasher::check(std::int64_t n_features, std::int64_t seed) {
    if (n_features < 1 || n_features > kMaxFeatures) {
        throw std::invalid_argument("'n_features' must be between 1 and 2**40 (got " +
                                    std::to_string(n_features) + ").");
    }
    if (seed < 0 || seed > kMaxSeed) {
        throw std::invalid_argument("'seed' must be between 0 and 2**32 - 1 (got " +
                                    std::to_string(seed) + ").");
    }
}

FeatureHasher::FeatureHasher(std::int64_t n_features, std::int64_t seed)
    : n_features_(n_features), seed_(seed) {
    check(n_features, seed);
}

std::int64_t FeatureHasher::column(const std::string& name, double& sign) const {
    const std::uint64_t h = hash_name(name, static_cast<std::uint64_t>(seed_));
    sign = (h & 1U) != 0 ? -1.0 : 1.0;
    return static_cast<std::int64_t>((h >> 1) % static_cast<std::uint64_t>(n_features_));
}

void FeatureHasher::learn_one(const FeatureMap&) {}

FeatureMap FeatureHasher::transform_one(const FeatureMap& x) {
    FeatureMap out;
    out.reserve(x.size());
    for (const auto& [name, v] : x) {
        double sign = 1.0;
        const std::int64_t j = column(name, sign);
        out[std::to_string(j)] += sign * v;
    }
    return out;
}

void FeatureHasher::transform_inplace(FeatureMap& x) { x = transform_one(x); }

void FeatureHasher::reset() {}

}  // namespace kavro
