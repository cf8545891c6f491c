// Class labels over binary models: one model while at most two labels are known, one per
// label (one-vs-rest) from the third on.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "core/types.hpp"

namespace kavro {

// Labels in ascending order and their models. A model's score is the log-odds of its label
// against the rest. With one label, its model learns target +1 on every example; with two, the
// one model scores the larger label against the smaller (the second label's arrival negates it
// when needed: learning is odd in the target, so the negated model is the one the other label
// would have had). The third label splits that model into the two labels' own (one the
// negation of the other) and starts its own from zero; later labels also start from zero.
// Model needs negate(); scores come from the caller's `score(const Model&)`.
template <class Model>
class LabelModels {
public:
    // Defined with the state module.
    template <class Ar>
    void visit(Ar& ar);

    // Adds y if new; then learn(model, target) for each model with target +1 or -1.
    template <class Learn>
    void learn(ClassLabel y, Learn&& learn) {
        add_label(y);
        if (labels.size() <= 2) {
            learn(models[0], y == labels.back() ? 1.0 : -1.0);
            return;
        }
        for (std::size_t k = 0; k < labels.size(); ++k) learn(models[k], labels[k] == y ? 1.0 : -1.0);
    }

    // Label of the highest score (ascending order, ties keep the smaller); 0 when untrained.
    template <class Score>
    ClassLabel predict(Score&& score) const {
        if (labels.empty()) return 0;
        if (labels.size() == 1) return labels[0];
        if (labels.size() == 2) return score(models[0]) > 0.0 ? labels[1] : labels[0];
        ClassLabel best = labels[0];
        double best_score = score(models[0]);
        for (std::size_t k = 1; k < labels.size(); ++k) {
            const double s = score(models[k]);
            if (s > best_score || std::isnan(best_score)) {
                best = labels[k];
                best_score = s;
            }
        }
        return best;
    }

    // Logistic of each score, normalised to sum 1 beyond two labels; empty when untrained.
    template <class Score>
    ProbabilityMap proba(Score&& score) const {
        ProbabilityMap out;
        if (labels.empty()) return out;
        if (labels.size() == 1) {
            out[labels[0]] = 1.0;
            return out;
        }
        if (labels.size() == 2) {
            const double p = logistic(score(models[0]));
            out[labels[0]] = 1.0 - p;
            out[labels[1]] = p;
            return out;
        }
        std::vector<double> ps(labels.size());
        double sum = 0.0;
        for (std::size_t k = 0; k < labels.size(); ++k) {
            ps[k] = logistic(score(models[k]));
            sum += ps[k];
        }
        for (std::size_t k = 0; k < labels.size(); ++k) out[labels[k]] = sum > 0.0 ? ps[k] / sum : ps[k];
        return out;
    }

    void clear() {
        labels.clear();
        models.clear();
    }

    static double logistic(double s) {
        if (std::isnan(s)) return s;
        return s >= 0.0 ? 1.0 / (1.0 + std::exp(-s)) : std::exp(s) / (1.0 + std::exp(s));
    }

    std::vector<ClassLabel> labels;
    std::vector<Model> models;

private:
    void add_label(ClassLabel y) {
        const auto at = std::lower_bound(labels.begin(), labels.end(), y);
        if (at != labels.end() && *at == y) return;
        const auto pos = static_cast<std::size_t>(at - labels.begin());
        labels.insert(at, y);
        if (labels.size() == 1) {
            models.emplace_back();
        } else if (labels.size() == 2) {
            if (pos == 1) models[0].negate();  // the model scored the old label, now the smaller
        } else if (labels.size() == 3) {
            // models[0] scores the larger of the two old labels against the smaller.
            Model larger = models[0];
            Model smaller = models[0];
            smaller.negate();
            models.clear();
            std::vector<Model> old{std::move(smaller), std::move(larger)};
            for (std::size_t k = 0, j = 0; k < 3; ++k) models.push_back(k == pos ? Model() : std::move(old[j++]));
        } else {
            models.insert(models.begin() + static_cast<std::ptrdiff_t>(pos), Model());
        }
    }
};

}  // namespace kavro
