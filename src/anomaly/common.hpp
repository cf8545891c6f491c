// Pieces shared by the anomaly detectors: the dense feature space fixed by the first record
// learnt, seeds, Gaussian draws and the isolation path-length correction.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/random.hpp"
#include "core/types.hpp"

namespace kavro::anomaly {

// Seed used when none is given (seed=None): fixed, so runs repeat.
inline constexpr std::uint32_t kDefaultSeed = 1;

inline std::uint32_t seed_or_default(const std::optional<std::uint32_t>& seed) {
    return seed ? *seed : kDefaultSeed;
}

// Feature names in sorted order, fixed by the first record learnt (plus any names the
// detector knows beforehand). Later names are ignored; a missing name reads as 0.
class FeatureSpace {
public:
    template <class Ar>
    void visit(Ar& ar) {
        ar("names", names);
    }

    bool fixed() const { return !names.empty(); }
    std::size_t size() const { return names.size(); }

    void fix(const FeatureMap& x, const std::vector<std::string>& known = {}) {
        names = known;
        for (const auto& kv : x) names.push_back(kv.first);
        std::sort(names.begin(), names.end());
        names.erase(std::unique(names.begin(), names.end()), names.end());
    }

    void dense(const FeatureMap& x, double* out) const {
        for (std::size_t j = 0; j < names.size(); ++j) {
            const auto it = x.find(names[j]);
            out[j] = it == x.end() ? 0.0 : it->second;
        }
    }

    std::vector<std::string> names;
};

// Standard normal by Box-Muller over two canonical draws.
inline double standard_normal(Rng& rng) {
    const double u1 = canonical(rng);
    const double u2 = canonical(rng);
    return std::sqrt(-2.0 * std::log(1.0 - u1)) * std::cos(6.283185307179586 * u2);
}

// Average path length of an unsuccessful search in a binary search tree of n points.
inline double isolation_c(double n) {
    if (n <= 1.0) return 0.0;
    if (n <= 2.0) return 1.0;
    return 2.0 * (std::log(n - 1.0) + 0.5772156649015329) - 2.0 * (n - 1.0) / n;
}

inline void require_positive(const char* owner, const char* name, long long value) {
    if (value < 1) {
        throw std::invalid_argument(std::string(owner) + ": " + name + " must be at least 1 (got " +
                                    std::to_string(value) + ").");
    }
}

}  // namespace kavro::anomaly
