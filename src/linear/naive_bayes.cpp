#include "linear/naive_bayes.hpp"

#include <cmath>
#include <limits>

namespace kavro {

namespace {

constexpr double kFloor = 1e-300;
constexpr double kLogFloor = -690.7755278982137;
constexpr double kTwoPi = 6.283185307179586;

// How one feature enters a label's score; shared by the log and linear predictions.
enum class TermKind { Floor, Neutral, Density };

inline TermKind feature_term(const NaiveBayes::FeatureStats& s, double v, double& density) {
    if (s.count < 2.0) return TermKind::Floor;
    const double var = s.m2 / (s.count - 1.0);
    if (var <= 0.0) return v == s.mean ? TermKind::Neutral : TermKind::Floor;
    const double d = v - s.mean;
    density = std::exp(-0.5 * (d * d) / var) / std::sqrt(kTwoPi * var);
    return density > kFloor ? TermKind::Density : TermKind::Floor;
}

}  // namespace

void NaiveBayes::learn_one(const FeatureMap& x, ClassLabel y) {
    class_counts[y] += 1;
    total_count += 1;
    if (x.empty()) return;
    StatsTable& table = feature_stats[y];
    for (const auto& [name, v] : x) {
        FeatureStats& s = table[name];
        s.count = s.count + 1.0;
        const double d = v - s.mean;
        s.mean = s.mean + d / s.count;
        s.m2 = s.m2 + (v - s.mean) * d;
    }
}

ClassLabel NaiveBayes::predict_one(const FeatureMap& x) {
    if (class_counts.empty()) return -1;
    double best = -std::numeric_limits<double>::infinity();
    ClassLabel result = class_counts.begin()->first;
    const double total = static_cast<double>(total_count);
    for (const auto& [c, count] : class_counts) {
        double score = std::log(static_cast<double>(count) / total);
        auto it = feature_stats.find(c);
        if (it != feature_stats.end()) {
            const StatsTable& table = it->second;
            for (const auto& [name, v] : x) {
                auto st = table.find(name);
                if (st == table.end()) continue;
                double density = 0.0;
                switch (feature_term(st->second, v, density)) {
                    case TermKind::Floor: score += kLogFloor; break;
                    case TermKind::Neutral: score += 0.0; break;
                    case TermKind::Density: score += std::log(density); break;
                }
            }
        }
        if (score > best) {
            best = score;
            result = c;
        }
    }
    return result;
}

ProbabilityMap NaiveBayes::predict_proba_one(const FeatureMap& x) {
    ProbabilityMap result;
    if (class_counts.empty()) return result;
    const double total = static_cast<double>(total_count);
    double sum = 0.0;
    for (const auto& [c, count] : class_counts) {
        double p = static_cast<double>(count) / total;
        auto it = feature_stats.find(c);
        if (it != feature_stats.end()) {
            const StatsTable& table = it->second;
            for (const auto& [name, v] : x) {
                auto st = table.find(name);
                if (st == table.end()) continue;
                double density = 0.0;
                switch (feature_term(st->second, v, density)) {
                    case TermKind::Floor: p *= kFloor; break;
                    case TermKind::Neutral: break;
                    case TermKind::Density: p *= density; break;
                }
            }
        }
        result[c] = p;
        sum += p;
    }
    if (sum > 0.0) {
        for (auto& entry : result) entry.second /= sum;
    }
    return result;
}

void NaiveBayes::reset() {
    class_counts.clear();
    feature_stats.clear();
    total_count = 0;
}

}  // namespace kavro
