#include "anomaly/loda.hpp"

#include <algorithm>
#include <cmath>
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

// Linear-interpolation quantile of sorted values.
double quantile(const std::vector<double>& s, double q) {
    const double pos = q * static_cast<double>(s.size() - 1);
    const std::size_t i = static_cast<std::size_t>(pos);
    const double frac = pos - static_cast<double>(i);
    return i + 1 < s.size() ? s[i] + frac * (s[i + 1] - s[i]) : s[i];
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
        std::size_t bins = static_cast<std::size_t>(n_bins_);
        if (bins == 0) {
            const std::size_t sturges =
                static_cast<std::size_t>(std::ceil(std::log2(static_cast<double>(n)))) + 1;
            bins = sturges;
            const double iqr = quantile(z, 0.75) - quantile(z, 0.25);
            if (iqr > 0.0) {
                const double fd = 2.0 * iqr / std::cbrt(static_cast<double>(n));
                const double fd_bins = std::ceil((hi - lo) / fd);
                if (fd_bins > static_cast<double>(bins)) {
                    bins = static_cast<std::size_t>(std::min(fd_bins, static_cast<double>(n)));
                }
            }
        }
        Projection& pr = projections_[p];
        pr.low = lo;
        pr.width = (hi - lo) / static_cast<double>(bins);
        pr.counts.assign(bins, 0);
        for (std::size_t i = 0; i < n; ++i) {
            const double b = std::floor((z[i] - lo) / pr.width);
            const std::size_t bin = b < 0.0 ? 0 : std::min(static_cast<std::size_t>(b), bins - 1);
            ++pr.counts[bin];
        }
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
