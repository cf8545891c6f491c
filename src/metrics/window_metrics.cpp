#include "metrics/window_metrics.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "core/validation.hpp"

namespace kavro {

WindowMetric::WindowMetric(int window_size_)
    : window_size((require_at_most("window_size", window_size_, kMaxWindowSize), std::max(window_size_, 0))),
      predicted_ring(static_cast<std::size_t>(window_size), 0),
      actual_ring(static_cast<std::size_t>(window_size), 0) {}

void WindowMetric::count_label(ClassLabel label, std::int64_t Counts::*field, std::int64_t step) {
    if (label < 0) return;
    Counts& c = class_counts[label];
    c.*field += step;
    if (c.tp == 0 && c.fp == 0 && c.fn == 0) class_counts.erase(label);
}

WindowMetric::CountsMap WindowMetric::counts_of_rings(std::int64_t& n_correct) const {
    CountsMap out;
    n_correct = 0;
    for (int i = 0; i < count; ++i) {
        const ClassLabel p = predicted_ring[static_cast<std::size_t>(i)];
        const ClassLabel a = actual_ring[static_cast<std::size_t>(i)];
        if (p == a) {
            ++n_correct;
            if (p >= 0) ++out[p].tp;
        } else {
            if (p >= 0) ++out[p].fp;
            if (a >= 0) ++out[a].fn;
        }
    }
    return out;
}

void WindowMetric::update(ClassLabel predicted, ClassLabel actual) {
    if (window_size == 0) return;
    if (count == window_size) {
        const ClassLabel p = predicted_ring[head];
        const ClassLabel a = actual_ring[head];
        if (p == a) {
            count_label(p, &Counts::tp, -1);
            --correct;
        } else {
            count_label(p, &Counts::fp, -1);
            count_label(a, &Counts::fn, -1);
        }
    } else {
        ++count;
    }

    predicted_ring[head] = predicted;
    actual_ring[head] = actual;
    if (predicted == actual) {
        count_label(predicted, &Counts::tp, 1);
        ++correct;
    } else {
        count_label(predicted, &Counts::fp, 1);
        count_label(actual, &Counts::fn, 1);
    }
    head = head + 1 == window_size ? 0 : head + 1;
}

double WindowMetric::macro_f1() const {
    double sum = 0.0;
    std::int64_t present = 0;
    for (const auto& entry : class_counts) {
        const Counts& c = entry.second;
        if (c.tp + c.fp + c.fn == 0) continue;
        ++present;
        const double d = static_cast<double>(c.fp) + 2.0 * static_cast<double>(c.tp) +
                         static_cast<double>(c.fn);
        if (d > 0.0) sum += 2.0 * static_cast<double>(c.tp) / d;
    }
    return present == 0 ? 0.0 : sum / static_cast<double>(present);
}

void WindowMetric::reset() {
    std::fill(predicted_ring.begin(), predicted_ring.end(), 0);
    std::fill(actual_ring.begin(), actual_ring.end(), 0);
    class_counts.clear();
    head = 0;
    count = 0;
    correct = 0;
}

WindowRegressionMetric::WindowRegressionMetric(int window_size_)
    : window_size((require_at_most("window_size", window_size_, kMaxWindowSize), std::max(window_size_, 0))),
      abs_errors(static_cast<std::size_t>(window_size), 0.0),
      sq_errors(static_cast<std::size_t>(window_size), 0.0) {}

void WindowRegressionMetric::update(double y_true, double y_pred) {
    if (window_size == 0) return;
    if (count == window_size) {
        sum_abs -= abs_errors[head];
        sum_sq -= sq_errors[head];
    } else {
        ++count;
    }
    const double e = y_true - y_pred;
    const double ae = std::fabs(e);
    const double se = e * e;
    abs_errors[head] = ae;
    sq_errors[head] = se;
    sum_abs += ae;
    sum_sq += se;

    ++updates_since_resum;
    head = head + 1 == window_size ? 0 : head + 1;

    if (updates_since_resum >= window_size) {
        double a = 0.0, s = 0.0;
        for (int i = 0; i < count; ++i) {
            a += abs_errors[i];
            s += sq_errors[i];
        }
        sum_abs = a;
        sum_sq = s;
        updates_since_resum = 0;
    }
}

double WindowRegressionMetric::rmse() const {
    return count == 0 ? 0.0 : std::sqrt(sum_sq / count);
}

void WindowRegressionMetric::reset() {
    std::fill(abs_errors.begin(), abs_errors.end(), 0.0);
    std::fill(sq_errors.begin(), sq_errors.end(), 0.0);
    sum_abs = 0.0;
    sum_sq = 0.0;
    head = 0;
    count = 0;
    updates_since_resum = 0;
}

}  // namespace kavro
