#include "anomaly/loda.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace kavro {

LODA::LODA(int n_projections, int window_size, int n_bins, std::optional<std::uint32_t> seed)
    : n_projections_(n_projections),
      window_size_(window_size),
      n_bins_(n_bins),
      has_seed_(seed.has_value()),
      seed_(anomaly::seed_or_default(seed)),
      rng_(seed_) {
    anomaly::require_positive("LODA", "n_projections", n_projections);
    anomaly::require_positive("LODA", "window_size", window_size);
    if (n_bins < 0) {
        throw std::invalid_argument("LODA: n_bins must be 'auto' or at least 1 (got " +
                                    std::to_string(n_bins) + ").");
    }
}

double LODA::project(const Projection& p, const std::vector<double>& v) const {
    double z = 0.0;
    for (std::size_t i = 0; i < p.dims.size(); ++i) z += p.weights[i] * v[p.dims[i]];
    return z;
}

namespace {

// Bin index of z among `bins` equal bins from lo of width w (the upper end in the last bin).
std::size_t bin_of(double z, double lo, double w, std::size_t bins) {
    const double b = std::floor((z - lo) / w);
    return b < 0.0 ? 0 : std::min(static_cast<std::size_t>(b), bins - 1);
}

// Birge & Rozenholc's number of equal-width bins for sorted values z over [lo, hi]: the D
// maximising sum_j N_j log(D N_j / n) - (D - 1 + log(D)^2.5), D from 1 to n / log(n).
std::size_t birge_rozenholc(const std::vector<double>& z, double lo, double hi) {
    const double n = static_cast<double>(z.size());
    const std::size_t top = std::max<std::size_t>(1, static_cast<std::size_t>(n / std::log(std::max(n, 2.0))));
    std::size_t best = 1;
    double best_value = -std::numeric_limits<double>::infinity();
    std::vector<std::int64_t> counts;
    for (std::size_t bins = 1; bins <= top; ++bins) {
        const double w = (hi - lo) / static_cast<double>(bins);
        counts.assign(bins, 0);
        for (double v : z) ++counts[bin_of(v, lo, w, bins)];
        double value = 0.0;
        for (auto c : counts) {
            if (c > 0) value += static_cast<double>(c) * std::log(static_cast<double>(bins) * static_cast<double>(c) / n);
        }
        value -= static_cast<double>(bins) - 1.0 + std::pow(std::log(static_cast<double>(bins)), 2.5);
        if (value > best_value) {
            best_value = value;
            best = bins;
        }
    }
    return best;
}

}  // namespace

void LODA::rebuild() {
    const std::size_t k = projections_.size();
    const std::size_t n = static_cast<std::size_t>(block_n_);
    std::vector<double> z(n);
    for (std::size_t p = 0; p < k; ++p) {
        for (std::size_t i = 0; i < n; ++i) z[i] = block_[i * k + p];
        std::sort(z.begin(), z.end());
        double lo = z.front(), hi = z.back();
        if (!(hi > lo)) {
            lo -= 0.5;
            hi += 0.5;
        }
        const std::size_t bins = n_bins_ > 0 ? static_cast<std::size_t>(n_bins_) : birge_rozenholc(z, lo, hi);
        Projection& pr = projections_[p];
        pr.low = lo;
        pr.width = (hi - lo) / static_cast<double>(bins);
        pr.counts.assign(bins, 0);
        for (std::size_t i = 0; i < n; ++i) ++pr.counts[bin_of(z[i], lo, pr.width, bins)];
    }
    block_.clear();
    block_n_ = 0;
}

void LODA::learn_one(const FeatureMap& x) {
    if (!space_.fixed()) {
        space_.fix(x);
        if (!space_.fixed()) return;
        const std::size_t d = space_.size();
        const std::size_t nz = static_cast<std::size_t>(std::ceil(std::sqrt(static_cast<double>(d))));
        projections_.assign(static_cast<std::size_t>(n_projections_), Projection{});
        std::vector<std::int32_t> all(d);
        for (auto& p : projections_) {
            for (std::size_t j = 0; j < d; ++j) all[j] = static_cast<std::int32_t>(j);
            shuffle_in_place(all, rng_);
            p.dims.assign(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(nz));
            std::sort(p.dims.begin(), p.dims.end());
            p.weights.resize(nz);
            for (auto& w : p.weights) w = anomaly::standard_normal(rng_);
        }
    }
    std::vector<double> v(space_.size());
    space_.dense(x, v.data());
    for (const auto& p : projections_) block_.push_back(project(p, v));
    if (++block_n_ == window_size_) rebuild();
}

double LODA::score_one(const FeatureMap& x) const {
    if (projections_.empty() || projections_.front().counts.empty()) return 0.0;
    std::vector<double> v(space_.size());
    space_.dense(x, v.data());
    double total = 0.0;
    for (const auto& p : projections_) {
        const double z = project(p, v);
        const std::size_t bins = p.counts.size();
        const double b = std::floor((z - p.low) / p.width);
        double count = 0.0;
        if (b >= 0.0 && b <= static_cast<double>(bins)) {
            // the range's upper end belongs to the last bin
            const std::size_t bin = std::min(static_cast<std::size_t>(b), bins - 1);
            if (b < static_cast<double>(bins) || z <= p.low + p.width * static_cast<double>(bins)) {
                count = p.counts[bin];
            }
        }
        const double density =
            (count + 1.0) / ((static_cast<double>(window_size_) + static_cast<double>(bins)) * p.width);
        total -= std::log(density);
    }
    return total / static_cast<double>(projections_.size());
}

void LODA::reset() {
    rng_.seed(seed_);
    space_ = anomaly::FeatureSpace{};
    projections_.clear();
    block_.clear();
    block_n_ = 0;
}

}  // namespace kavro
