// The row loops of the batch entry points: records built chunk by chunk, a check
// for Ctrl-C between chunks, and ensemble members trained on several threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <time.h>

#include <pybind11/pybind11.h>

#include "batch/inputs.hpp"
#include "batch/record.hpp"
#include "ensemble/member_steps.hpp"

namespace kavro::batch {

// Rows per chunk: the interval of the Ctrl-C check and the rows whose records a
// parallel ensemble step holds at once.
constexpr std::size_t kChunkRows = 2048;

// Raises a pending signal's exception (KeyboardInterrupt for Ctrl-C) with a note
// saying how many rows were done; the rows after them were not touched.
inline void check_signals(const char* fn, std::size_t done) {
    if (PyErr_CheckSignals() == 0) return;
    py::error_already_set error;
    try {
        error.value().attr("add_note")(std::string(fn) + ": interrupted after the first " +
                                       std::to_string(done) +
                                       " rows; those were used and the rest were not.");
    } catch (const py::error_already_set&) {
    }
    throw error;
}

// visit(first, n, cells) for consecutive chunks of rows, cells row-major.
template <class Visit>
void for_each_chunk(const Table& t, const char* fn, Visit&& visit) {
    std::vector<double> cells;
    for (std::size_t first = 0; first < t.rows; first += kChunkRows) {
        const std::size_t n = std::min(kChunkRows, t.rows - first);
        cells.resize(n * t.columns.size());
        fill_rows(t.columns, first, n, cells.data());
        visit(first, n, cells.data());
        if (first + n < t.rows) check_signals(fn, first + n);
    }
}

// step(x, row) for the record of every row, in order (x is valid during the call).
// Every family's loop.
template <class Step>
void for_each_record(const Table& t, const char* fn, Step&& step) {
    const std::size_t width = t.columns.size();
    RecordBuilder builder(t.names);
    for_each_chunk(t, fn, [&](std::size_t first, std::size_t n, const double* cells) {
        for (std::size_t r = 0; r < n; ++r) step(builder.next(cells + r * width), first + r);
    });
}

// The member steps of a learner that splits into them (ARF, SRP, leveraging bagging), else null.
template <class Target, class Learner>
ensemble::MemberSteps<Target>* member_steps_of(Learner* learner) {
    return dynamic_cast<ensemble::MemberSteps<Target>*>(learner);
}

// CPU seconds of the calling thread.
inline double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

#ifdef KAVRO_BENCH_HOOKS
// CPU seconds each thread spent on member steps in the last learn_many that trained
// members on threads, summed over its chunks (a benchmark figure, in builds with the hooks).
inline std::vector<double>& member_thread_seconds() {
    static std::vector<double> seconds;
    return seconds;
}
#endif

// work(i) for every i < count (a member, or a part of the rows), taken one at a time
// by `threads` threads (the caller's included). The first exception is rethrown once
// every thread has stopped; the items after it are not started.
template <class Work>
void on_threads(std::size_t count, unsigned threads, Work&& work) {
    std::atomic<std::size_t> next{0};
    std::vector<std::exception_ptr> errors(threads);
#ifdef KAVRO_BENCH_HOOKS
    std::vector<double> seconds(threads, 0.0);
#endif
    auto run = [&](unsigned slot) {
#ifdef KAVRO_BENCH_HOOKS
        const double start = thread_cpu_seconds();
#endif
        try {
            for (std::size_t i; (i = next.fetch_add(1)) < count;) work(i);
        } catch (...) {
            errors[slot] = std::current_exception();
            next.store(count);
        }
#ifdef KAVRO_BENCH_HOOKS
        seconds[slot] = thread_cpu_seconds() - start;
#endif
    };
    std::vector<std::thread> pool;
    const std::size_t wanted = std::min<std::size_t>(threads, count);
    try {
        for (unsigned k = 1; k < wanted; ++k) pool.emplace_back(run, k);
    } catch (const std::system_error&) {
        // Fewer threads than asked: the ones running (and this one) take every member.
    }
    run(0);
    for (auto& th : pool) th.join();
#ifdef KAVRO_BENCH_HOOKS
    auto& total = member_thread_seconds();
    total.resize(std::max<std::size_t>(total.size(), threads), 0.0);
    for (unsigned k = 0; k < threads; ++k) total[k] += seconds[k];
#endif
    for (auto& error : errors) {
        if (error) std::rethrow_exception(error);
    }
}

// Every example's draws, in order: counts[r * members + i] and scales[r].
template <class Target>
void draw_examples(ensemble::MemberSteps<Target>& e, const std::vector<FeatureMap>& xs,
                   const Target* ys, std::vector<int>& counts, std::vector<double>& scales) {
    const std::size_t members = e.n_members();
    counts.resize(xs.size() * members);
    scales.resize(xs.size());
    for (std::size_t r = 0; r < xs.size(); ++r) {
        scales[r] = e.draw_example(xs[r], ys[r], counts.data() + r * members);
    }
}

// Learns the records xs with targets ys, exactly as learn_one on each in turn:
// every example's draws first, in order, then each member over every record.
template <class Target>
void learn_by_members(ensemble::MemberSteps<Target>& e, const std::vector<FeatureMap>& xs,
                      const Target* ys, unsigned threads) {
    const std::size_t members = e.n_members();
    std::vector<int> counts;
    std::vector<double> scales;
    draw_examples(e, xs, ys, counts, scales);
    on_threads(members, threads, [&](std::size_t i) {
        for (std::size_t r = 0; r < xs.size(); ++r) {
            e.member_step(i, xs[r], ys[r], counts[r * members + i], scales[r]);
        }
    });
}

// Test-then-train of the records xs, exactly as predict_one then learn_one on each
// in turn: predictions[r] is what predict_one(xs[r]) gives before xs[r] is learnt.
// Draws come first, in order (they leave every vote as it was: the caller checks
// draws_change_votes); then each member votes on a record just before its step
// on it, and the votes of each record are combined in member order.
template <class Target>
void predict_learn_by_members(ensemble::MemberSteps<Target>& e, const std::vector<FeatureMap>& xs,
                              const Target* ys, unsigned threads, Target* predictions) {
    const std::size_t members = e.n_members();
    std::vector<int> counts;
    std::vector<double> scales;
    draw_examples(e, xs, ys, counts, scales);
    std::vector<ensemble::MemberVote<Target>> votes(xs.size() * members);
    on_threads(members, threads, [&](std::size_t i) {
        for (std::size_t r = 0; r < xs.size(); ++r) {
            votes[r * members + i] = e.member_vote(i, xs[r]);
            e.member_step(i, xs[r], ys[r], counts[r * members + i], scales[r]);
        }
    });
    // Combining reads the votes only, so the rows are shared out too; each thread frees
    // the votes it has combined.
    const std::size_t rows = xs.size();
    const std::size_t parts = std::min<std::size_t>(threads, rows);
    on_threads(parts, threads, [&](std::size_t part) {
        for (std::size_t r = part * rows / parts; r < (part + 1) * rows / parts; ++r) {
            predictions[r] = e.combine_votes(votes.data() + r * members);
            for (std::size_t i = 0; i < members; ++i) votes[r * members + i] = {};
        }
    });
}

// learn_one of every row through the ensemble's member steps, on `threads` threads.
template <class Target>
void learn_rows_by_members(ensemble::MemberSteps<Target>& e, const Table& t,
                           const std::vector<Target>& ys, unsigned threads, const char* fn) {
    const std::size_t width = t.columns.size();
#ifdef KAVRO_BENCH_HOOKS
    member_thread_seconds().assign(threads, 0.0);
#endif
    RecordBuilder builder(t.names);
    std::vector<FeatureMap> xs;
    for_each_chunk(t, fn, [&](std::size_t first, std::size_t n, const double* cells) {
        xs.clear();
        xs.reserve(n);
        for (std::size_t r = 0; r < n; ++r) xs.push_back(builder.build(cells + r * width));
        learn_by_members(e, xs, ys.data() + first, threads);
    });
}

}  // namespace kavro::batch
