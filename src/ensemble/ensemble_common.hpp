// Machinery shared by the tree ensembles: member seeds, Poisson repetitions,
// feature subspaces and restricted records, the warning/background/drift cycle
// and the accuracy-weighted vote.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/random.hpp"
#include "core/types.hpp"
#include "drift/adwin.hpp"
#include "ensemble/member_steps.hpp"

namespace kavro::ensemble {

// ---------------------------------------------------------------------------
// Seeds and repetition counts

// base + multiplier * (position + 1) + offset, wrapping in 32 bits.
inline std::uint32_t member_seed(std::uint32_t base, std::uint32_t multiplier, std::size_t position,
                                 std::uint32_t offset = 0) {
    const std::uint32_t pos1 = static_cast<std::uint32_t>(position) + 1u;
    return base + multiplier * pos1 + offset;
}

// A non-negative double count truncated to 32 bits (the examples-seen offset of a seed).
inline std::uint32_t truncated_count(double count) {
    if (!(count > 0.0)) return 0;
    if (count >= 18446744073709551615.0) return 0xffffffffu;
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(count));
}

// The component's generator, polling for an interruption every kInterruptInterval outputs: the
// rejection loop of a large Poisson mean draws until it accepts. Same outputs as the generator.
class PollingRng {
public:
    using result_type = Rng::result_type;
    explicit PollingRng(Rng& rng) : rng_(rng) {}
    static constexpr result_type min() { return Rng::min(); }
    static constexpr result_type max() { return Rng::max(); }
    result_type operator()() {
        if (--until_poll_ == 0) {
            until_poll_ = kInterruptInterval;
            poll_interrupt();
        }
        return rng_();
    }

private:
    Rng& rng_;
    unsigned until_poll_ = kInterruptInterval;
};

// One distribution per learn_one call; members draw from it in member order.
class Poisson {
public:
    explicit Poisson(double mean) : distribution_(mean) {}
    int operator()(Rng& rng) {
        PollingRng polling(rng);
        return distribution_(polling);
    }

private:
    std::poisson_distribution<int> distribution_;
};

// Largest accepted Poisson mean: draws stay far below the 32-bit count limit.
inline constexpr double kMaxPoissonMean = 1e9;

// A Poisson mean must be finite, large enough that a draw can be positive
// (exp(-mean) < 1, about mean > 1.1e-16) and at most kMaxPoissonMean.
inline bool valid_poisson_mean(double mean) {
    return std::isfinite(mean) && mean > 0.0 && std::exp(-mean) < 1.0 && mean <= kMaxPoissonMean;
}

inline void require_poisson_mean(const char* name, double mean) {
    if (!valid_poisson_mean(mean)) {
        char got[32];
        std::snprintf(got, sizeof got, "%.17g", mean);
        throw std::invalid_argument("'" + std::string(name) +
                                    "' must be a finite number above 1.1e-16 (exp(-" + name +
                                    ") < 1) and at most 1e9 (got " + got + ").");
    }
}

// Runs learn_one(x, y) `times` times on a learner, polling for an interruption
// every kInterruptInterval repetitions. An interruption leaves the learner as it
// is after the repetitions completed so far.
template <class Learner, class Record, class Target>
inline void learn_repeated(Learner& learner, const Record& x, Target y, long long times) {
    unsigned until_poll = kInterruptInterval;
    for (long long r = 0; r < times; ++r) {
        learner.learn_one(x, y);
        if (--until_poll == 0) {
            until_poll = kInterruptInterval;
            poll_interrupt();
        }
    }
}

// ---------------------------------------------------------------------------
// Feature names and restricted records

// Names of x in ascending byte order.
inline std::vector<std::string> sorted_names(const FeatureMap& x) {
    std::vector<std::string> names;
    names.reserve(x.size());
    for (const auto& kv : x) names.push_back(kv.first);
    std::sort(names.begin(), names.end());
    return names;
}

// The features of x named in `names`, inserted in the order of `names`, in a fresh map.
inline FeatureMap restrict_record(const FeatureMap& x, const std::vector<std::string>& names) {
    FeatureMap out;
    for (const auto& name : names) {
        const auto it = x.find(name);
        if (it != x.end()) out.emplace(it->first, it->second);
    }
    return out;
}

// A member's view of x: x itself when the subspace is empty (no copy), else the
// restricted record built once for the call.
class RecordView {
public:
    RecordView(const FeatureMap& x, const std::vector<std::string>& subspace) : x_(&x) {
        if (!subspace.empty()) {
            restricted_ = restrict_record(x, subspace);
            x_ = &restricted_;
        }
    }
    RecordView(const RecordView&) = delete;
    RecordView& operator=(const RecordView&) = delete;
    const FeatureMap& get() const { return *x_; }

private:
    FeatureMap restricted_;
    const FeatureMap* x_;
};

// ---------------------------------------------------------------------------
// Members with the warning / background / drift cycle

template <class Tree>
struct DriftMember {
    DriftMember(double drift_delta, double warning_delta)
        : drift_detector(drift_delta), warning_detector(warning_delta) {}

    std::unique_ptr<Tree> foreground;
    std::unique_ptr<Tree> background;
    ADWIN drift_detector;
    ADWIN warning_detector;
    std::vector<std::string> subspace;  // empty: all features
    double n_correct = 0.0;             // classifiers: correct since the last drift
    double n_seen = 0.0;                // classifiers: examples since the last drift
    bool initialised = false;
    // Warnings and drifts its detectors have signalled; for inspection only.
    std::uint64_t n_warnings = 0;
    std::uint64_t n_drifts = 0;

    // Back to the constructed state: no trees, fresh detectors.
    void clear(double drift_delta, double warning_delta) {
        foreground.reset();
        background.reset();
        drift_detector = ADWIN(drift_delta);
        warning_detector = ADWIN(warning_delta);
        subspace.clear();
        n_correct = 0.0;
        n_seen = 0.0;
        initialised = false;
        n_warnings = 0;
        n_drifts = 0;
    }

    // Trains the foreground, then any background tree, `times` times each.
    template <class Target>
    void learn(const FeatureMap& x, Target y, long long times) {
        if (times < 1) return;
        learn_repeated(*foreground, x, y, times);
        if (background) learn_repeated(*background, x, y, times);
    }

    // Feeds the error to the warning detector (a warning starts a background tree
    // unless one is growing), then to the drift detector (a drift promotes the
    // background tree or installs a replacement, with fresh detectors). Returns
    // true on drift; the caller then resets its own counters.
    template <class MakeBackground, class MakeReplacement>
    bool update_detectors(double error, double drift_delta, double warning_delta,
                          MakeBackground&& make_background, MakeReplacement&& make_replacement) {
        warning_detector.update(error);
        if (warning_detector.drift_detected()) ++n_warnings;
        if (warning_detector.drift_detected() && !background) {
            background = make_background();
            warning_detector = ADWIN(warning_delta);
        }
        drift_detector.update(error);
        if (!drift_detector.drift_detected()) return false;
        ++n_drifts;
        if (background) {
            foreground = std::move(background);
        } else {
            foreground = make_replacement();
        }
        background.reset();
        drift_detector = ADWIN(drift_delta);
        warning_detector = ADWIN(warning_delta);
        return true;
    }

    // Classifier step on (x, y): scores the foreground's prediction, trains `times`
    // times, feeds the 0/1 error to the detectors and restarts the accuracy counters
    // on drift.
    template <class MakeBackground, class MakeReplacement>
    void learn_labelled(const FeatureMap& x, ClassLabel y, long long times, double drift_delta,
                        double warning_delta, MakeBackground&& make_background,
                        MakeReplacement&& make_replacement) {
        const bool correct = foreground->predict_one(x) == y;
        n_seen += 1.0;
        if (correct) n_correct += 1.0;
        learn(x, y, times);
        if (update_detectors(correct ? 0.0 : 1.0, drift_delta, warning_delta, make_background,
                             make_replacement)) {
            n_correct = 0.0;
            n_seen = 0.0;
        }
    }

    // Regressor step on (x, y), on the member's view of x: scores the foreground's
    // absolute error, trains `times` times, then feeds the error to the detectors
    // (make_tree builds both a background tree and a replacement).
    template <class MakeTree>
    void learn_valued(const FeatureMap& x, double y, long long times, double drift_delta,
                      double warning_delta, MakeTree&& make_tree) {
        const RecordView view(x, subspace);
        const FeatureMap& r = view.get();
        const double error = std::fabs(y - foreground->predict_one(r));
        learn(r, y, times);
        update_detectors(error, drift_delta, warning_delta, make_tree, make_tree);
    }

    // Voting weight: accuracy since the last drift, 1 before any example.
    double weight() const { return n_seen > 0.0 ? n_correct / n_seen : 1.0; }
};

// ---------------------------------------------------------------------------
// Votes

// Accumulates members' probability maps, each normalised by its own sum and
// scaled by the member's weight, then divides by the total accumulated weight.
class Vote {
public:
    // Skips a member whose probabilities sum to 0 or less (forest rule).
    void add_weighted(const ProbabilityMap& proba, double weight) {
        if (proba.empty()) return;
        const double sum = total_of(proba);
        if (sum <= 0.0) return;
        accumulate(proba, weight, sum);
    }

    // Equal weights; counts a member only when its probabilities sum to more than 0.
    void add_equal(const ProbabilityMap& proba) {
        const double sum = total_of(proba);
        if (!(sum > 0.0)) return;
        for (const auto& kv : proba) {
            const double amount = kv.second / sum;
            result_[kv.first] += amount;
            total_ += amount;
        }
    }

    ProbabilityMap finish() {
        if (total_ > 0.0) {
            for (auto& kv : result_) kv.second /= total_;
        }
        return std::move(result_);
    }

private:
    static double total_of(const ProbabilityMap& proba) {
        double sum = 0.0;
        for (const auto& kv : proba) sum += kv.second;
        return sum;
    }

    void accumulate(const ProbabilityMap& proba, double weight, double sum) {
        for (const auto& kv : proba) {
            const double amount = weight * kv.second / sum;
            result_[kv.first] += amount;
            total_ += amount;
        }
    }

    ProbabilityMap result_;
    double total_ = 0.0;
};

// A member's part of the weighted vote: its foreground tree's probabilities on its
// own view of x and its weight; initialised members with weight above 0 vote.
template <class Member>
ClassVote weighted_member_vote(const Member& m, const FeatureMap& x) {
    ClassVote v;
    if (!m.initialised || !m.foreground) return v;
    v.weight = m.weight();
    if (v.weight <= 0.0) return v;
    const RecordView view(x, m.subspace);
    v.proba = m.foreground->predict_proba_one(view.get());
    v.counted = true;
    return v;
}

// A regressor member's prediction on its own view of x.
template <class Member>
ValueVote value_member_vote(const Member& m, const FeatureMap& x) {
    const RecordView view(x, m.subspace);
    return {true, m.foreground->predict_one(view.get())};
}

// The weighted vote of n members' votes, in member order.
inline ProbabilityMap fold_weighted(const ClassVote* votes, std::size_t n) {
    Vote vote;
    for (std::size_t i = 0; i < n; ++i) {
        if (votes[i].counted) vote.add_weighted(votes[i].proba, votes[i].weight);
    }
    return vote.finish();
}

// Weighted vote of the initialised members' foreground trees, each on its own view
// of x; members with weight 0 or less do not vote.
template <class Member>
ProbabilityMap weighted_vote(const std::vector<Member>& members, const FeatureMap& x) {
    Vote vote;
    for (const Member& m : members) {
        const ClassVote v = weighted_member_vote(m, x);
        if (v.counted) vote.add_weighted(v.proba, v.weight);
    }
    return vote.finish();
}

// Mean of the counted members' values (0 when none is counted); `over_all` divides
// by the number of members instead of the number counted.
inline double mean_of_votes(const ValueVote* votes, std::size_t n, bool over_all) {
    double sum = 0.0;
    std::size_t counted = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!votes[i].counted) continue;
        sum += votes[i].value;
        ++counted;
    }
    const std::size_t divisor = over_all ? n : counted;
    return divisor == 0 ? 0.0 : sum / static_cast<double>(divisor);
}

// Label of the largest probability in the map's iteration order, first met on
// ties; 0 for an empty map.
inline ClassLabel argmax_label(const ProbabilityMap& proba) {
    auto it = proba.begin();
    if (it == proba.end()) return 0;
    ClassLabel best = it->first;
    double best_value = -std::numeric_limits<double>::infinity();
    for (; it != proba.end(); ++it) {
        if (it->second > best_value) {
            best_value = it->second;
            best = it->first;
        }
    }
    return best;
}

}  // namespace kavro::ensemble
