// Random draws shared by every randomised component. All of them draw from a
// caller-owned std::mt19937 so that equal seeds give equal streams.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace kavro {

using Rng = std::mt19937;

// Uniform integer in 0 ... r by division scaling with rejection:
// scaling = 4294967295 / (r + 1); draw u until u < (r + 1) * scaling; return u / scaling.
// (Not std::uniform_int_distribution, which draws differently.)
inline std::uint32_t uniform_draw(Rng& rng, std::uint32_t r) {
    const std::uint64_t range = static_cast<std::uint64_t>(r) + 1;
    const std::uint64_t scaling = 4294967295ULL / range;
    const std::uint64_t limit = range * scaling;
    std::uint64_t u;
    do {
        u = rng();
    } while (u >= limit);
    return static_cast<std::uint32_t>(u / scaling);
}

// Fisher-Yates shuffle built on uniform_draw; for small n two positions come
// from one draw. n < 2 leaves v unchanged and draws nothing.
template <class T>
void shuffle_in_place(std::vector<T>& v, Rng& rng) {
    using std::swap;
    const std::uint64_t n = v.size();
    if (n < 2) return;
    if (4294967295ULL / n < n) {
        for (std::uint64_t i = 1; i < n; ++i) {
            const std::uint32_t j = uniform_draw(rng, static_cast<std::uint32_t>(i));
            swap(v[i], v[j]);
        }
        return;
    }
    std::uint64_t i = 1;
    if (n % 2 == 0) {
        const std::uint32_t j = uniform_draw(rng, 1);
        swap(v[1], v[j]);
        i = 2;
    }
    while (i < n) {
        const std::uint64_t b =
            uniform_draw(rng, static_cast<std::uint32_t>((i + 1) * (i + 2) - 1));
        swap(v[i], v[b / (i + 2)]);
        swap(v[i + 1], v[b % (i + 2)]);
        i += 2;
    }
}

// Canonical uniform in [0, 1) from two 32-bit outputs a then b: (a + b * 2^32) * 2^-64.
inline double canonical(Rng& rng) { return std::generate_canonical<double, 53>(rng); }

// Uniform in [-1, 1): 2u - 1 fused, or the largest double below 1 when u >= 1.
inline double uniform_pm1(Rng& rng) {
    const double u = canonical(rng);
    if (u >= 1.0) return 0.9999999999999998;
    return std::fma(2.0, u, -1.0);
}

// Poisson repetition counts: a std::poisson_distribution<int> made fresh per call,
// drawn with the component's Rng (below a mean of 12 it multiplies canonical draws).

}  // namespace kavro
