// Parameter checks for values that would otherwise divide or take a remainder by
// zero, index an empty container or overflow an allocation. Errors surface in
// Python as ValueError naming the parameter.
#pragma once

#include <stdexcept>
#include <string>

namespace kavro {

template <class T>
inline void require_at_least(const char* name, T value, T minimum) {
    if (!(value >= minimum)) {
        throw std::invalid_argument("'" + std::string(name) + "' must be greater than or equal to " +
                                    std::to_string(minimum) + " (got " + std::to_string(value) +
                                    ").");
    }
}

template <class T>
inline void require_at_most(const char* name, T value, T maximum) {
    if (!(value <= maximum)) {
        throw std::invalid_argument("'" + std::string(name) + "' must be less than or equal to " +
                                    std::to_string(maximum) + " (got " + std::to_string(value) +
                                    ").");
    }
}

}  // namespace kavro
