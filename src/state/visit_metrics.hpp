// Saved state of the metrics.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "metrics/classification_metrics.hpp"
#include "metrics/regression_metrics.hpp"
#include "metrics/window_metrics.hpp"
#include "state/archive.hpp"

namespace kavro {

namespace state {
template <class Ar>
void visit(Ar& ar, ClassCounts& c) {
    ar("true_positives", c.true_positives);
    ar("false_positives", c.false_positives);
    ar("false_negatives", c.false_negatives);
    // Counts only grow by one per update: anything outside [0, 2^62] is corrupt and would
    // overflow in later sums.
    constexpr std::int64_t limit = std::int64_t(1) << 62;
    state::require(ar, c.true_positives >= 0 && c.true_positives <= limit &&
                           c.false_positives >= 0 && c.false_positives <= limit &&
                           c.false_negatives >= 0 && c.false_negatives <= limit,
                   "a class's confusion counts are out of range");
}
}  // namespace state

template <class Ar>
void Accuracy::visit(Ar& ar) {
    ar("correct", correct);
    ar("total", total);
    state::require(ar, correct >= 0 && correct <= total && total <= (std::int64_t(1) << 62),
                   "Accuracy counts more correct predictions than predictions");
}

template <class Ar>
void MacroBase::visit(Ar& ar) {
    ar("class_counts", class_counts);
}

template <class Ar>
void MAE::visit(Ar& ar) {
    ar("count", count);
    ar("mean_abs_error", mean_abs_error);
}

template <class Ar>
void RMSE::visit(Ar& ar) {
    ar("count", count);
    ar("mean_sq_error", mean_sq_error);
}

template <class Ar>
void R2::visit(Ar& ar) {
    ar("count", count);
    ar("mean", mean);
    ar("m2", m2);
    ar("ddof", ddof);
    ar("sse", sse);
}

namespace state {
// A ring of window_size slots filled from slot 0: head is the next slot to write and, until
// the ring is full, also the number of values held.
template <class Ar>
void require_ring(Ar& ar, int window_size, std::size_t ring_size, int head, int count) {
    if constexpr (Ar::mode == Mode::read) {
        ar.require(window_size >= 0, "a metric window size is negative");
        ar.require(window_size <= kMaxWindowSize, "a metric window size is above 100000000");
        ar.require(ring_size == static_cast<std::size_t>(window_size),
                   "a metric window's buffers disagree with its size");
        ar.require(count >= 0 && count <= window_size, "a metric window holds too many values");
        ar.require(window_size == 0 ? head == 0 : head >= 0 && head < window_size,
                   "a metric window's position is out of range");
        ar.require(count == window_size || head == count,
                   "a metric window's position disagrees with its count");
    }
}
}  // namespace state

// The per-label counts follow from the rings: they are saved as an empty list, and a state that
// holds them (per label, indexed by label) must agree with its rings.
template <class Ar>
void WindowMetric::visit(Ar& ar) {
    ar("window_size", window_size);
    ar("predicted_ring", predicted_ring);
    ar("actual_ring", actual_ring);
    std::vector<ClassCounts> counts;
    ar("class_counts", counts);
    ar("head", head);
    ar("count", count);
    ar("correct", correct);
    state::require(ar, correct >= 0 && correct <= count, "a metric window's counts are out of range");
    state::require_ring(ar, window_size, predicted_ring.size(), head, count);
    state::require(ar, actual_ring.size() == predicted_ring.size(),
                   "a metric window's buffers disagree with its size");
    if constexpr (Ar::mode == state::Mode::read) {
        std::int64_t n_correct = 0;
        CountsMap derived = counts_of_rings(n_correct);
        ar.require(n_correct == correct, "a metric window's correct count disagrees with its values");
        if (!counts.empty()) {
            ar.require(derived.empty() || static_cast<std::uint64_t>(derived.rbegin()->first) < counts.size(),
                       "a metric window's class counts disagree with its values");
            for (std::size_t label = 0; label < counts.size(); ++label) {
                const auto it = derived.find(static_cast<ClassLabel>(label));
                const Counts c = it == derived.end() ? Counts{} : it->second;
                const ClassCounts& s = counts[label];
                ar.require(s.true_positives == c.tp && s.false_positives == c.fp &&
                               s.false_negatives == c.fn,
                           "a metric window's class counts disagree with its values");
            }
        }
        class_counts = std::move(derived);
    }
}

template <class Ar>
void WindowRegressionMetric::visit(Ar& ar) {
    ar("window_size", window_size);
    ar("abs_errors", abs_errors);
    ar("sq_errors", sq_errors);
    ar("sum_abs", sum_abs);
    ar("sum_sq", sum_sq);
    ar("head", head);
    ar("count", count);
    ar("updates_since_resum", updates_since_resum);
    state::require_ring(ar, window_size, abs_errors.size(), head, count);
    state::require(ar, sq_errors.size() == abs_errors.size(),
                   "a metric window's buffers disagree with its size");
    state::require(ar, updates_since_resum >= 0 && updates_since_resum < std::max(window_size, 1),
                   "a metric window's updates since the last re-summation are out of range");
}

}  // namespace kavro
