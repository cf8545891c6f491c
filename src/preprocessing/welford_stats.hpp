// Running statistics shared by the feature selectors.
#pragma once

#include <cmath>

namespace kavro {

// Count, mean and sum of squared deviations of one series; sample variance with ddof 1.
struct WelfordStats {
    double count = 0.0;
    double mean = 0.0;
    double m2 = 0.0;
    double ddof = 1.0;

    void update(double v) {
        count = count + 1.0;
        const double old_mean = mean;
        mean = std::fma(1.0 / count, v - old_mean, old_mean);
        m2 = std::fma(v - mean, v - old_mean, m2);
    }

    // m2 / (count - ddof), or 0 while count <= ddof.
    double variance() const { return count > ddof ? m2 / (count - ddof) : 0.0; }
};

// Running sample covariance (divisor n - 1) of a pair of series.
struct CovarianceStats {
    double count_x = 0.0;
    double mean_x = 0.0;
    double count_y = 0.0;
    double mean_y = 0.0;
    double cov = 0.0;
    double ddof = 1.0;

    void update(double x, double y) {
        const double old_mean_x = mean_x;
        count_x = count_x + 1.0;
        mean_x = std::fma(1.0 / count_x, x - mean_x, mean_x);
        count_y = count_y + 1.0;
        mean_y = std::fma(1.0 / count_y, y - mean_y, mean_y);
        const double p = std::fma(x - old_mean_x, y - mean_y, -cov);
        const double dof = count_x - ddof;
        cov = dof > 1.0 ? cov + p / dof : cov + p;
    }
};

}  // namespace kavro
