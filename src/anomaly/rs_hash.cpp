#include "anomaly/rs_hash.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace kavro {

namespace {

std::uint64_t mix64(std::uint64_t z) {
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::size_t table_size_for(int sample_size) {
    std::size_t t = 1;
    while (t < static_cast<std::size_t>(sample_size)) t <<= 1;
    return t;
}

}  // namespace

RSHash::RSHash(int n_components, int sample_size, int n_hashes, std::optional<std::uint32_t> seed)
    : n_components_(n_components),
      sample_size_(sample_size),
      n_hashes_(n_hashes),
      has_seed_(seed.has_value()),
      seed_(anomaly::seed_or_default(seed)),
      table_size_(0),
      rng_(seed_) {
    anomaly::require_positive("RSHash", "n_components", n_components);
    anomaly::require_positive("RSHash", "n_hashes", n_hashes);
    if (sample_size < 4) {
        throw std::invalid_argument("RSHash: sample_size must be at least 4 (got " +
                                    std::to_string(sample_size) + ").");
    }
    table_size_ = table_size_for(sample_size);
}

void RSHash::scale(const FeatureMap& x, std::vector<double>& out) const {
    out.resize(space_.size());
    space_.dense(x, out.data());
    for (std::size_t j = 0; j < out.size(); ++j) {
        const double span = max_[j] - min_[j];
        out[j] = span > 0.0 ? (out[j] - min_[j]) / span : 0.0;
    }
}

std::uint64_t RSHash::cell(const Component& c, const std::vector<double>& scaled) const {
    std::uint64_t key = 0x51ed270b27e9a6d3ULL;
    for (std::size_t i = 0; i < c.dims.size(); ++i) {
        const double y = std::floor((scaled[c.dims[i]] + c.alpha[i]) / c.f);
        const double bounded = std::max(-9.0e15, std::min(9.0e15, y));
        key = mix64(key ^ static_cast<std::uint64_t>(static_cast<std::int64_t>(bounded)));
    }
    return key;
}

std::size_t RSHash::slot(const Component& c, int row, std::uint64_t key) const {
    return static_cast<std::size_t>(row) * table_size_ +
           static_cast<std::size_t>(mix64(key ^ c.salts[row]) & (table_size_ - 1));
}

void RSHash::learn_one(const FeatureMap& x) {
    if (!space_.fixed()) {
        space_.fix(x);
        if (!space_.fixed()) return;
        const std::size_t d = space_.size();
        const double s = static_cast<double>(sample_size_);
        const double f_lo = 1.0 / std::sqrt(s), f_hi = 1.0 - 1.0 / std::sqrt(s);
        components_.assign(static_cast<std::size_t>(n_components_), Component{});
        std::vector<std::int32_t> all(d);
        for (auto& c : components_) {
            c.f = f_lo + (f_hi - f_lo) * canonical(rng_);
            const double base = std::max(2.0, 1.0 / c.f);
            const double top = std::log(s) / std::log(base);
            const int lo = std::max(1, static_cast<int>(std::floor(1.0 + 0.5 * top)));
            const int hi = std::max(lo, static_cast<int>(std::floor(top)));
            int r = lo + static_cast<int>(uniform_draw(rng_, static_cast<std::uint32_t>(hi - lo)));
            r = std::min(r, static_cast<int>(d));
            for (std::size_t j = 0; j < d; ++j) all[j] = static_cast<std::int32_t>(j);
            shuffle_in_place(all, rng_);
            c.dims.assign(all.begin(), all.begin() + r);
            std::sort(c.dims.begin(), c.dims.end());
            c.alpha.resize(static_cast<std::size_t>(r));
            for (auto& a : c.alpha) a = c.f * canonical(rng_);
            c.salts.resize(static_cast<std::size_t>(n_hashes_));
            for (auto& salt : c.salts) salt = (static_cast<std::uint64_t>(rng_()) << 32) | rng_();
            c.table.assign(static_cast<std::size_t>(n_hashes_) * table_size_, 0);
        }
        min_.assign(d, 0.0);
        max_.assign(d, 0.0);
        space_.dense(x, min_.data());
        max_ = min_;
    }
    std::vector<double> v(space_.size());
    space_.dense(x, v.data());
    for (std::size_t j = 0; j < v.size(); ++j) {
        min_[j] = std::min(min_[j], v[j]);
        max_[j] = std::max(max_[j], v[j]);
    }
    if (window_.size() == static_cast<std::size_t>(sample_size_)) {
        const auto& old = window_.front();
        for (std::size_t i = 0; i < components_.size(); ++i) {
            Component& c = components_[i];
            for (int row = 0; row < n_hashes_; ++row) --c.table[slot(c, row, old[i])];
        }
        window_.pop_front();
    }
    std::vector<double> scaled;
    scale(x, scaled);
    std::vector<std::uint64_t> keys(components_.size());
    for (std::size_t i = 0; i < components_.size(); ++i) {
        Component& c = components_[i];
        keys[i] = cell(c, scaled);
        for (int row = 0; row < n_hashes_; ++row) ++c.table[slot(c, row, keys[i])];
    }
    window_.push_back(std::move(keys));
}

double RSHash::score_one(const FeatureMap& x) const {
    if (components_.empty()) return 0.0;
    std::vector<double> scaled;
    scale(x, scaled);
    double total = 0.0;
    for (const auto& c : components_) {
        const std::uint64_t key = cell(c, scaled);
        std::int32_t count = c.table[slot(c, 0, key)];
        for (int row = 1; row < n_hashes_; ++row) count = std::min(count, c.table[slot(c, row, key)]);
        total += std::log2(1.0 + static_cast<double>(count));
    }
    return -total / static_cast<double>(components_.size());
}

void RSHash::reset() {
    rng_.seed(seed_);
    space_ = anomaly::FeatureSpace{};
    min_.clear();
    max_.clear();
    components_.clear();
    window_.clear();
}

}  // namespace kavro
