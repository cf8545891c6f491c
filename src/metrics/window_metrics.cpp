#include "metrics/window_metrics.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace kavro {

WindowMetric::WindowMetric(int window_size_)
    : window_size(std::max(window_size_, 0)),
      predicted_ring(static_cast<std::size_t>(window_size), 0),
      actual_ring(static_cast<std::size_t>(window_size), 0) {}

void WindowMetric::grow(ClassLabel label) {
    if (label >= 0 && static_cast<std::size_t>(label) >= class_counts.size()) {
        class_counts.resize(static_cast<std::size_t>(label) + 1);
    }
}

void WindowMetric::update(ClassLabel predicted, ClassLabel actual) {
    if (window_size == 0) return;
    grow(predicted);
    grow(actual);
    const std::size_t n = class_counts.size();
    auto known = [n](ClassLabel label) {
        return label >= 0 && static_cast<std::size_t>(label) < n;
    };

    if (count == window_size) {
        const ClassLabel p = predicted_ring[head];
        const ClassLabel a = actual_ring[head];
        if (p == a) {
            if (known(p)) --class_counts[p].tp;
            --correct;
        } else {
            if (known(p)) --class_counts[p].fp;
            if (known(a)) --class_counts[a].fn;
        }
    } else {
        ++count;
    }

    predicted_ring[head] = predicted;
    actual_ring[head] = actual;
    if (predicted == actual) {
        if (known(predicted)) ++class_counts[predicted].tp;
        ++correct;
    } else {
        if (known(predicted)) ++class_counts[predicted].fp;
        if (known(actual)) ++class_counts[actual].fn;
    }
    head = head + 1 == window_size ? 0 : head + 1;
}

double WindowMetric::macro_f1() const {
    double sum = 0.0;
    std::int64_t present = 0;
    for (const Counts& c : class_counts) {
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
    : window_size(std::max(window_size_, 0)),
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
