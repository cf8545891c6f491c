#include "selection/model_selection.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace kavro {

// ---------------------------------------------------------------------------
// ModelSelector

ModelSelector::ModelSelector(Core core) : core_(std::move(core)) {}

void ModelSelector::learn_one(const FeatureMap& x, ClassLabel y) { learn_by_members(x, y); }

double ModelSelector::draw_example(const FeatureMap&, ClassLabel, int* counts) {
    std::fill(counts, counts + core_.models.size(), 1);
    return 1.0;
}

void ModelSelector::member_step(std::size_t i, const FeatureMap& x, ClassLabel y, int, double) {
    core_.step(i, x, y);
}

// Only the best candidate's label matters; every candidate votes so that the choice can be
// made from the votes alone.
ensemble::ClassVote ModelSelector::member_vote(std::size_t i, const FeatureMap& x) {
    return {true, core_.merit(i), ProbabilityMap{{core_.models[i]->predict_one(x), 1.0}}};
}

ClassLabel ModelSelector::combine_votes(const ensemble::ClassVote* votes) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < core_.models.size(); ++i) {
        if (votes[i].weight > votes[best].weight) best = i;
    }
    return votes[best].proba.begin()->first;
}

ClassLabel ModelSelector::predict_one(const FeatureMap& x) {
    return core_.models[core_.best()]->predict_one(x);
}

ProbabilityMap ModelSelector::predict_proba_one(const FeatureMap& x) {
    return core_.models[core_.best()]->predict_proba_one(x);
}

// ---------------------------------------------------------------------------
// ModelSelectorRegressor

ModelSelectorRegressor::ModelSelectorRegressor(Core core) : core_(std::move(core)) {}

void ModelSelectorRegressor::learn_one(const FeatureMap& x, double y) {
    for (std::size_t i = 0; i < core_.models.size(); ++i) core_.step(i, x, y);
}

double ModelSelectorRegressor::predict_one(const FeatureMap& x) {
    return core_.models[core_.best()]->predict_one(x);
}

// ---------------------------------------------------------------------------
// Successive halving

namespace selection {

namespace {

int rounds_for(std::size_t n, int eta) {
    int rounds = 0;
    for (std::size_t s = n; s > 1; s = (s + static_cast<std::size_t>(eta) - 1) / static_cast<std::size_t>(eta)) {
        ++rounds;
    }
    return rounds;
}

}  // namespace

template <class Tr>
Halving<Tr>::Halving(Candidates<Tr> c, std::int64_t budget_, int eta_)
    : core(std::move(c)), budget(budget_), eta(eta_), active(core.models.size(), 1) {
    if (eta < 2) {
        throw std::invalid_argument("'eta' must be greater than or equal to 2 (got " +
                                    std::to_string(eta) + ").");
    }
    const std::int64_t need =
        static_cast<std::int64_t>(core.models.size()) * rounds_for(core.models.size(), eta);
    if (budget < need || budget < 1) {
        throw std::invalid_argument(
            "'budget' must be at least " + std::to_string(std::max<std::int64_t>(need, 1)) +
            " (candidates x rounds) so that every round lasts an example (got " +
            std::to_string(budget) + ").");
    }
}

template <class Tr>
int Halving<Tr>::rounds() const {
    return rounds_for(core.models.size(), eta);
}

template <class Tr>
std::size_t Halving<Tr>::n_active() const {
    std::size_t n = 0;
    for (auto a : active) n += a;
    return n;
}

template <class Tr>
std::int64_t Halving<Tr>::round_length() const {
    if (round >= rounds()) return 0;
    return budget / (static_cast<std::int64_t>(n_active()) * rounds());
}

template <class Tr>
void Halving<Tr>::learn_one(const FeatureMap& x, typename Tr::Target y) {
    for (std::size_t i = 0; i < core.models.size(); ++i) {
        if (active[i]) core.step(i, x, y);
    }
    if (round >= rounds()) return;
    if (++in_round < round_length()) return;
    // The round is over: keep the best ceil(|S| / eta).
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < active.size(); ++i) {
        if (active[i]) order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return core.merit(a) > core.merit(b);
    });
    const std::size_t keep = (order.size() + static_cast<std::size_t>(eta) - 1) / static_cast<std::size_t>(eta);
    for (std::size_t k = keep; k < order.size(); ++k) active[order[k]] = 0;
    ++round;
    in_round = 0;
}

template <class Tr>
void Halving<Tr>::reset() {
    core.reset();
    active.assign(core.models.size(), 1);
    round = 0;
    in_round = 0;
}

template class Halving<ClassTraits>;
template class Halving<ValueTraits>;

}  // namespace selection

ClassLabel SuccessiveHalvingClassifier::predict_one(const FeatureMap& x) {
    return h_.core.models[h_.best()]->predict_one(x);
}

ProbabilityMap SuccessiveHalvingClassifier::predict_proba_one(const FeatureMap& x) {
    return h_.core.models[h_.best()]->predict_proba_one(x);
}

double SuccessiveHalvingRegressor::predict_one(const FeatureMap& x) {
    return h_.core.models[h_.best()]->predict_one(x);
}

}  // namespace kavro
