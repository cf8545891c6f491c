#include "metrics/regression_metrics.hpp"

namespace kavro {

void R2::update(double y_true, double y_pred) {
    count += 1.0;
    const double old_mean = mean;
    mean = std::fma(1.0 / count, y_true - old_mean, old_mean);
    m2 += (y_true - old_mean) * (y_true - mean);
    const double e = y_true - y_pred;
    sse += e * e;
}

double R2::get() const {
    if (count <= 1.0) return 0.0;
    const double variance = count > ddof ? m2 / (count - ddof) : 0.0;
    const double total_sum_squares = (count - 1.0) * variance;
    if (total_sum_squares == 0.0) return 0.0;
    return 1.0 - sse / total_sum_squares;
}

void R2::reset() {
    count = 0.0;
    mean = 0.0;
    m2 = 0.0;
    ddof = 1.0;
    sse = 0.0;
}

}  // namespace kavro
