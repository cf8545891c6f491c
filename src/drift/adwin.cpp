#include "drift/adwin.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/validation.hpp"

namespace kavro {

namespace {

// 2^i, as std::ldexp(1.0, i) gives it (infinity from 2^1024 on).
inline double pow2(std::size_t i) {
    if (i > 1023) return std::numeric_limits<double>::infinity();
    const std::uint64_t bits = static_cast<std::uint64_t>(1023 + i) << 52;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

}  // namespace

ADWIN::ADWIN(double delta, int clock, int max_buckets, int min_window_length, int grace_period)
    : delta_(delta),
      clock_(clock),
      max_buckets_(max_buckets),
      min_window_length_(min_window_length),
      grace_period_(grace_period) {
    require_at_least("clock", clock, 1);
    require_at_least("max_buckets", max_buckets, 1);
    // Row bookkeeping works with max_buckets + 2 in int.
    require_at_most("max_buckets", max_buckets, std::numeric_limits<int>::max() - 2);
    slots_ = static_cast<std::size_t>(max_buckets_) + 2;
    reset();
}

void ADWIN::reset() {
    counts_.assign(1, 0);
    totals_.assign(slots_, 0.0);
    variances_.assign(slots_, 0.0);
    total_ = 0.0;
    variance_ = 0.0;
    width_ = 0.0;
    until_scan_ = clock_;
    drift_detected_ = false;
}

void ADWIN::add_row() {
    counts_.push_back(0);
    totals_.resize(counts_.size() * slots_, 0.0);
    variances_.resize(counts_.size() * slots_, 0.0);
}

void ADWIN::update(double x) {
    drift_detected_ = false;

    const int c = counts_[0];
    totals_[c] = x;
    variances_[c] = 0.0;
    counts_[0] = c + 1;

    width_ += 1.0;
    if (width_ > 1.0) {
        const double prev = width_ - 1.0;
        const double d = x - total_ / prev;
        variance_ += prev * (d * d) / width_;
    }
    total_ += x;

    if (counts_[0] == max_buckets_ + 1) compress();

    if (--until_scan_ == 0) {
        until_scan_ = clock_;
        if (width_ > grace_period_) {
            while (scan_finds_cut()) {
                drift_detected_ = true;
                delete_oldest_bucket();
            }
        }
    }
}

void ADWIN::compress() {
    const int full = max_buckets_ + 1;
    for (std::size_t i = 0; i < counts_.size() && counts_[i] == full; ++i) {
        if (i + 1 == counts_.size()) add_row();
        double* t = totals_.data() + i * slots_;
        double* v = variances_.data() + i * slots_;
        const double n = pow2(i);
        const double t0 = t[0], t1 = t[1];
        const double d = t0 / n - t1 / n;
        const double merged_variance = v[0] + v[1] + n * n * (d * d) / (2.0 * n);

        const std::size_t dst = (i + 1) * slots_ + static_cast<std::size_t>(counts_[i + 1]);
        totals_[dst] = t0 + t1;
        variances_[dst] = merged_variance;
        ++counts_[i + 1];

        for (int k = 2; k < full; ++k) {
            t[k - 2] = t[k];
            v[k - 2] = v[k];
        }
        t[full - 2] = t[full - 1] = 0.0;
        v[full - 2] = v[full - 1] = 0.0;
        counts_[i] = full - 2;
    }
}

// One scan over the splits, oldest bucket first; true when a split's means differ
// by more than the bound. The newest bucket is never visited (n1 reaches 0 there).
bool ADWIN::scan_finds_cut() const {
    if (!(width_ > 1.0)) return false;
    const double mwl = static_cast<double>(min_window_length_);
    const double d_prime = std::log(2.0 * std::log(width_) / delta_);
    const double window_variance = variance_ / width_;

    double n0 = 0.0, u0 = 0.0;
    double n1 = width_, u1 = total_;
    for (std::size_t r = counts_.size(); r-- > 0;) {
        const double size = pow2(r);
        const double* t = totals_.data() + r * slots_;
        const int count = counts_[r];
        for (int k = 0; k < count; ++k) {
            n1 -= size;
            if (n1 <= 0.0) return false;
            n0 += size;
            u0 += t[k];
            u1 -= t[k];
            if (n1 >= mwl && n0 >= mwl) {
                const double m = 1.0 / (n0 - mwl + 1.0) + 1.0 / (n1 - mwl + 1.0);
                const double epsilon = std::sqrt(2.0 * m * window_variance * d_prime) +
                                       2.0 / 3.0 * m * d_prime;
                if (std::fabs(u0 / n0 - u1 / n1) > epsilon) return true;
            }
        }
    }
    return false;
}

// Drops slot 0 of the last row (the oldest bucket of the window), then any rows left
// empty at the end so that the oldest bucket stays in slot 0 of the last row.
void ADWIN::delete_oldest_bucket() {
    const std::size_t last = counts_.size() - 1;
    double* t = totals_.data() + last * slots_;
    double* v = variances_.data() + last * slots_;
    const double b = pow2(last);
    const double bt = t[0], bv = v[0];

    width_ -= b;
    total_ -= bt;
    double e = bt / b;
    if (width_ > 0.0) e -= total_ / width_;
    variance_ -= b * width_ * (e * e) / (b + width_) + bv;

    const int count = counts_[last];
    for (int k = 1; k < count; ++k) {
        t[k - 1] = t[k];
        v[k - 1] = v[k];
    }
    t[count - 1] = 0.0;
    v[count - 1] = 0.0;
    counts_[last] = count - 1;

    while (counts_.size() > 1 && counts_.back() == 0) {
        counts_.pop_back();
        totals_.resize(counts_.size() * slots_);
        variances_.resize(counts_.size() * slots_);
    }
}

}  // namespace kavro
