#include "metrics/classification_metrics.hpp"

namespace kavro {

double MacroPrecision::get() const {
    if (class_counts.empty()) return 0.0;
    double sum = 0.0;
    for (const auto& kv : class_counts) {
        const ClassCounts& c = kv.second;
        const std::int64_t denominator = c.true_positives + c.false_positives;
        if (denominator > 0) {
            sum += static_cast<double>(c.true_positives) / static_cast<double>(denominator);
        }
    }
    return sum / static_cast<double>(class_counts.size());
}

double MacroRecall::get() const {
    if (class_counts.empty()) return 0.0;
    double sum = 0.0;
    for (const auto& kv : class_counts) {
        const ClassCounts& c = kv.second;
        const std::int64_t denominator = c.true_positives + c.false_negatives;
        if (denominator > 0) {
            sum += static_cast<double>(c.true_positives) / static_cast<double>(denominator);
        }
    }
    return sum / static_cast<double>(class_counts.size());
}

double MacroF1::get() const {
    if (class_counts.empty()) return 0.0;
    double sum = 0.0;
    for (const auto& kv : class_counts) {
        const ClassCounts& c = kv.second;
        const std::int64_t denominator =
            2 * c.true_positives + c.false_positives + c.false_negatives;
        if (denominator > 0) {
            sum += 2.0 * static_cast<double>(c.true_positives) / static_cast<double>(denominator);
        }
    }
    return sum / static_cast<double>(class_counts.size());
}

}  // namespace kavro
