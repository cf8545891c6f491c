// Value types shared by every learner, transformer and binding.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace kavro {

// A feature record: name -> value. Its iteration order is observable (it fixes the
// order of floating-point sums and the order new names enter a learner's tables).
using FeatureMap = std::unordered_map<std::string, double>;

// A class label; every 32-bit value is valid.
using ClassLabel = std::int32_t;

// Class probabilities, returned by value; its iteration order is the key order
// of the dict Python receives.
using ProbabilityMap = std::unordered_map<ClassLabel, double>;

}  // namespace kavro
