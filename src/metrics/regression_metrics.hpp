// Cumulative regression scores kept as running means.
#pragma once

#include <cmath>

namespace kavro {

class MAE {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    void update(double y_true, double y_pred) {
        count += 1.0;
        mean_abs_error = std::fma(1.0 / count, std::fabs(y_true - y_pred) - mean_abs_error,
                                  mean_abs_error);
    }
    double get() const { return mean_abs_error; }
    void reset() {
        count = 0.0;
        mean_abs_error = 0.0;
    }

private:
    double count = 0.0;
    double mean_abs_error = 0.0;
};

class RMSE {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    void update(double y_true, double y_pred) {
        const double e = y_true - y_pred;
        count += 1.0;
        mean_sq_error = std::fma(1.0 / count, e * e - mean_sq_error, mean_sq_error);
    }
    double get() const { return std::sqrt(mean_sq_error); }
    void reset() {
        count = 0.0;
        mean_sq_error = 0.0;
    }

private:
    double count = 0.0;
    double mean_sq_error = 0.0;
};

// Coefficient of determination, 1 - SSE / total sum of squares.
class R2 {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    void update(double y_true, double y_pred);
    // 0 before the second update and while every target is equal; may be negative.
    double get() const;
    void reset();

private:
    double count = 0.0;
    double mean = 0.0;
    double m2 = 0.0;
    double ddof = 1.0;
    double sse = 0.0;
};

}  // namespace kavro
