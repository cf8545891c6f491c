// Candidates that all learn the same stream, each scored by its own copy of one prequential
// measure (predict, update the measure, then learn), cumulatively or over the last `window`
// examples. A windowed measure is recomputed from the kept outcomes after every example.
#pragma once

#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/interfaces.hpp"

namespace kavro::selection {

// What a classifier's measure was fed with for one example.
struct LabelOutcome {
    ClassLabel y_true = 0;
    ClassLabel y_pred = 0;
    double score = 0.0;
    ProbabilityMap proba;
};

struct ValueOutcome {
    double y_true = 0.0;
    double y_pred = 0.0;
};

struct ClassTraits {
    using Learner = IClassifier;
    using Metric = IClassificationMetric;
    using Target = ClassLabel;
    using Outcome = LabelOutcome;

    // The candidate's prediction of x in the form the measure takes (a score is the
    // probability of label 1).
    static Outcome observe(const Metric& m, Learner& model, const FeatureMap& x, Target y) {
        Outcome o;
        o.y_true = y;
        switch (m.input()) {
            case Metric::Input::label:
                o.y_pred = model.predict_one(x);
                break;
            case Metric::Input::proba:
                o.proba = model.predict_proba_one(x);
                break;
            case Metric::Input::score: {
                const ProbabilityMap p = model.predict_proba_one(x);
                const auto it = p.find(1);
                o.score = it == p.end() ? 0.0 : it->second;
                break;
            }
        }
        return o;
    }
    static void apply(Metric& m, const Outcome& o) {
        switch (m.input()) {
            case Metric::Input::label:
                m.update(o.y_true, o.y_pred);
                break;
            case Metric::Input::proba:
                m.update_proba(o.y_true, o.proba);
                break;
            case Metric::Input::score:
                m.update_score(o.y_true, o.score);
                break;
        }
    }
};

struct ValueTraits {
    using Learner = IRegressor;
    using Metric = IRegressionMetric;
    using Target = double;
    using Outcome = ValueOutcome;

    static Outcome observe(const Metric&, Learner& model, const FeatureMap& x, Target y) {
        return {y, model.predict_one(x)};
    }
    static void apply(Metric& m, const Outcome& o) { m.update(o.y_true, o.y_pred); }
};

template <class Tr>
class Candidates {
public:
    using Learner = typename Tr::Learner;
    using Metric = typename Tr::Metric;

    Candidates() = default;
    // measures: one fresh copy of `metric` per model; window 0 for the cumulative measure.
    Candidates(std::vector<std::shared_ptr<Learner>> models, std::shared_ptr<Metric> metric,
               std::vector<std::shared_ptr<Metric>> measures, bool higher_is_better,
               std::int64_t window)
        : models(std::move(models)),
          metric(std::move(metric)),
          measures(std::move(measures)),
          higher_is_better(higher_is_better),
          window(window),
          outcomes(window > 0 ? this->models.size() : 0) {
        if (window < 0) throw std::invalid_argument("'window' must be None or at least 1.");
    }

    // Candidate i's step on (x, y): its measure sees its prediction, then it learns.
    void step(std::size_t i, const FeatureMap& x, typename Tr::Target y) {
        Metric& m = *measures[i];
        auto o = Tr::observe(m, *models[i], x, y);
        if (window > 0) {
            auto& kept = outcomes[i];
            kept.push_back(std::move(o));
            if (static_cast<std::int64_t>(kept.size()) > window) kept.pop_front();
            m.reset();
            for (const auto& e : kept) Tr::apply(m, e);
        } else {
            Tr::apply(m, o);
        }
        models[i]->learn_one(x, y);
    }

    // Candidate i's measure, turned so that larger is better; NaN counts as the worst.
    double merit(std::size_t i) const {
        const double v = measures[i]->get();
        if (std::isnan(v)) return -std::numeric_limits<double>::infinity();
        return higher_is_better ? v : -v;
    }

    // The candidate of largest merit among those `active` (all when null); ties keep the first.
    std::size_t best(const std::vector<std::uint8_t>* active = nullptr) const {
        std::size_t out = models.size();
        double top = 0.0;
        for (std::size_t i = 0; i < models.size(); ++i) {
            if (active != nullptr && !(*active)[i]) continue;
            const double v = merit(i);
            if (out == models.size() || v > top) {
                out = i;
                top = v;
            }
        }
        return out == models.size() ? 0 : out;
    }

    std::vector<double> scores() const {
        std::vector<double> out;
        for (const auto& m : measures) out.push_back(m->get());
        return out;
    }

    void reset() {
        for (auto& m : models) m->reset();
        for (auto& m : measures) m->reset();
        for (auto& kept : outcomes) kept.clear();
    }

    template <class Ar>
    void visit(Ar& ar);

    std::vector<std::shared_ptr<Learner>> models;
    std::shared_ptr<Metric> metric;  // the prototype, never updated
    std::vector<std::shared_ptr<Metric>> measures;
    bool higher_is_better = true;
    std::int64_t window = 0;
    std::vector<std::deque<typename Tr::Outcome>> outcomes;  // per model, when windowed
};

}  // namespace kavro::selection
