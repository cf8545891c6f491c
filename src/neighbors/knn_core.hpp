// Storage, column numbering, distance and neighbour selection shared by the
// windowed nearest-neighbour learners.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/types.hpp"
#include "core/validation.hpp"

namespace kavro {

// Minkowski distance of power p over the first m columns, ascending.
// p = 2 and p = 1 take the direct forms; any other p goes through pow.
inline double minkowski_distance(const double* q, const double* s, std::size_t m, std::int32_t p) {
    double sum = 0.0;
    if (p == 2) {
        for (std::size_t i = 0; i < m; ++i) {
            const double d = q[i] - s[i];
            sum += d * d;
        }
        return std::sqrt(sum);
    }
    if (p == 1) {
        for (std::size_t i = 0; i < m; ++i) sum += std::fabs(q[i] - s[i]);
        return sum;
    }
    const double power = static_cast<double>(p);
    for (std::size_t i = 0; i < m; ++i) sum += std::pow(std::fabs(q[i] - s[i]), power);
    return std::pow(sum, 1.0 / power);
}

// A sliding window of dense samples over a growing column numbering of feature
// names. A column a sample's record lacked holds 0.0; columns are only dropped by
// clear().
template <class Target>
class KNNCore {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    struct Sample {
        std::vector<double> values;
        Target target;
    };
    using Candidate = std::pair<double, Target>;

    // window_size 0 is rejected; a negative value becomes a huge (unbounded) capacity.
    KNNCore(std::int32_t k, std::int32_t capacity, std::int32_t power)
        : p(power), window_size(static_cast<std::uint64_t>(static_cast<std::int64_t>(capacity))) {
        set_n_neighbors(k);
        set_p(power);
        if (capacity == 0) {
            throw std::invalid_argument(
                "'window_size' must not be 0 (got 0); a negative value means an unbounded window.");
        }
    }

    std::int32_t get_n_neighbors() const { return n_neighbors; }
    void set_n_neighbors(std::int32_t value) {
        require_at_least<std::int32_t>("n_neighbors", value, 0);
        n_neighbors = value;
    }
    std::int32_t get_p() const { return p; }
    // A Minkowski power below 1 is no distance: refused.
    void set_p(std::int32_t value) {
        require_at_least<std::int32_t>("p", value, 1);
        p = value;
    }

    // Evicts the oldest sample when full, numbers new names in x's order, stores x.
    void learn(const FeatureMap& x, Target y) {
        std::vector<double> values;
        if (window.size() >= window_size) {
            values = std::move(window.front().values);  // recycle the evicted buffer
            window.pop_front();
        }
        const std::int32_t before = n_features;
        columns.clear();
        for (const auto& entry : x) {
            auto [it, inserted] = feature_index.try_emplace(entry.first, n_features);
            if (inserted) ++n_features;
            columns.push_back(it->second);
        }
        if (n_features != before) {
            for (Sample& s : window) s.values.resize(static_cast<std::size_t>(n_features), 0.0);
        }
        values.assign(static_cast<std::size_t>(n_features), 0.0);
        std::size_t i = 0;
        for (const auto& entry : x) values[static_cast<std::size_t>(columns[i++])] = entry.second;
        window.push_back(Sample{std::move(values), y});
    }

    // Selects the k = min(n_neighbors, window length) nearest samples, sorted by
    // (distance, target), into neighbours()[0, k). Returns 0 for an empty window or k < 1.
    // Names of x without a column are ignored; nothing is added.
    std::size_t select(const FeatureMap& x) {
        candidates.clear();
        if (window.empty() || n_neighbors < 1) return 0;
        query.assign(static_cast<std::size_t>(n_features), 0.0);
        for (const auto& entry : x) {
            auto it = feature_index.find(entry.first);
            if (it != feature_index.end()) query[static_cast<std::size_t>(it->second)] = entry.second;
        }
        candidates.reserve(window.size());
        for (const Sample& s : window) {
            const std::size_t m = std::min(query.size(), s.values.size());
            candidates.emplace_back(minkowski_distance(query.data(), s.values.data(), m, p),
                                    s.target);
        }
        const std::size_t k = std::min(static_cast<std::size_t>(n_neighbors), candidates.size());
        std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(k),
                          candidates.end());
        return k;
    }

    const std::vector<Candidate>& neighbours() const { return candidates; }

    void clear() {
        window.clear();
        feature_index.clear();
        n_features = 0;
    }

private:
    std::int32_t n_neighbors = 0;
    std::int32_t p;
    std::deque<Sample> window;  // oldest first
    std::uint64_t window_size;
    std::unordered_map<std::string, std::int32_t> feature_index;
    std::int32_t n_features = 0;

    // Scratch buffers reused across calls.
    std::vector<std::int32_t> columns;
    std::vector<double> query;
    std::vector<Candidate> candidates;
};

}  // namespace kavro
