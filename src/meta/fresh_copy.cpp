#include "meta/fresh_copy.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace kavro::meta {

namespace {

ClassifierCopier classifier_copier = nullptr;
RegressorCopier regressor_copier = nullptr;

}  // namespace

void install_copiers(ClassifierCopier classifiers, RegressorCopier regressors) {
    classifier_copier = classifiers;
    regressor_copier = regressors;
}

std::shared_ptr<IClassifier> fresh_copy(const IClassifier& prototype) {
    if (classifier_copier == nullptr) throw std::logic_error("no copier of classifiers is installed");
    return classifier_copier(prototype);
}

std::shared_ptr<IRegressor> fresh_copy(const IRegressor& prototype) {
    if (regressor_copier == nullptr) throw std::logic_error("no copier of regressors is installed");
    return regressor_copier(prototype);
}

ClassLabel top_label(const ProbabilityMap& proba) {
    ClassLabel best = -1;
    double best_value = -std::numeric_limits<double>::infinity();
    for (const auto& kv : proba) {
        if (kv.second > best_value) {
            best_value = kv.second;
            best = kv.first;
        }
    }
    return best;
}

ProbabilityMap normalised(const ProbabilityMap& proba) {
    double sum = 0.0;
    for (const auto& kv : proba) sum += kv.second;
    ProbabilityMap out;
    if (!(sum > 0.0) || !std::isfinite(sum)) return out;
    out.reserve(proba.size());
    for (const auto& kv : proba) out.emplace(kv.first, kv.second / sum);
    return out;
}

}  // namespace kavro::meta
