// Fresh copies of a prototype learner. The copy goes through the prototype's saved form,
// which only the module that knows every class can read, so that module installs the copiers.
// Prototypes are never learnt from, so a copy equals a freshly constructed object.
#pragma once

#include <memory>

#include "core/interfaces.hpp"

namespace kavro::meta {

using ClassifierCopier = std::shared_ptr<IClassifier> (*)(const IClassifier&);
using RegressorCopier = std::shared_ptr<IRegressor> (*)(const IRegressor&);

void install_copiers(ClassifierCopier classifiers, RegressorCopier regressors);

// A new object with the prototype's state; std::logic_error before install_copiers.
std::shared_ptr<IClassifier> fresh_copy(const IClassifier& prototype);
std::shared_ptr<IRegressor> fresh_copy(const IRegressor& prototype);

// Label of the largest probability, the first met on ties; -1 for an empty map.
ClassLabel top_label(const ProbabilityMap& proba);

// proba scaled to sum to 1; empty when it sums to 0 or less (or is not finite).
ProbabilityMap normalised(const ProbabilityMap& proba);

}  // namespace kavro::meta
