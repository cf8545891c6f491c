// Saved state of the windowed nearest-neighbour learners.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "neighbors/knn_classifier.hpp"
#include "neighbors/knn_core.hpp"
#include "neighbors/knn_regressor.hpp"
#include "state/archive.hpp"

namespace kavro {

namespace state {
template <class Ar>
void visit(Ar& ar, KNNCore<ClassLabel>::Sample& s) {
    ar("values", s.values);
    ar("target", s.target);
}
template <class Ar>
void visit(Ar& ar, KNNCore<double>::Sample& s) {
    ar("values", s.values);
    ar("target", s.target);
}
}  // namespace state

// The scratch buffers (columns, query, candidates) are refilled by every call that reads them.
template <class Target>
template <class Ar>
void KNNCore<Target>::visit(Ar& ar) {
    ar("n_neighbors", n_neighbors);
    ar("p", p);
    ar("window_size", window_size);
    ar("feature_index", feature_index);
    ar("n_features", n_features);
    ar("window", window);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(n_neighbors >= 0, "KNN n_neighbors is negative");
        ar.require(p >= 1, "KNN p is below 1");
        ar.require(window_size != 0, "KNN window size is 0");
        ar.require(window.size() <= window_size, "KNN window holds more samples than its size");
        ar.require(n_features >= 0 && n_features < std::numeric_limits<std::int32_t>::max() &&
                       feature_index.size() == static_cast<std::size_t>(n_features),
                   "KNN feature numbering disagrees with its feature count");
        std::vector<bool> seen(feature_index.size(), false);
        for (const auto& entry : feature_index) {
            const std::int32_t c = entry.second;
            ar.require(c >= 0 && c < n_features && !seen[static_cast<std::size_t>(c)],
                       "KNN feature columns are not numbered 0 to n_features - 1");
            seen[static_cast<std::size_t>(c)] = true;
        }
        for (const Sample& s : window) {
            ar.require(s.values.size() == static_cast<std::size_t>(n_features),
                       "a KNN sample's width disagrees with the feature count");
        }
        columns.clear();
        query.clear();
        candidates.clear();
    }
}

template <class Ar>
void KNNClassifier::visit(Ar& ar) {
    ar("core", core);
}

template <class Ar>
void KNNRegressor::visit(Ar& ar) {
    ar("core", core);
}

}  // namespace kavro
