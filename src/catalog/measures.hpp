// Any measure object from Python (a core metric or a catalogued measure) as one of the two
// measure interfaces.
#pragma once

#include <memory>

#include <pybind11/pybind11.h>

#include "core/interfaces.hpp"

namespace kavro::catalog {

struct Measure {
    std::shared_ptr<IClassificationMetric> labels;  // set for measures of classifiers/scores
    std::shared_ptr<IRegressionMetric> values;      // set for measures of regressors
};

// TypeError "<what>: <type> is not a measure" for anything else.
Measure measure_of(pybind11::handle obj, const char* what);

}  // namespace kavro::catalog
