// Saved state of LabelModels (included by the bindings of the classes that use it).
#pragma once

#include <algorithm>
#include <cstddef>

#include "linear/label_models.hpp"
#include "state/archive.hpp"

namespace kavro {

template <class Model>
template <class Ar>
void LabelModels<Model>::visit(Ar& ar) {
    ar("labels", labels);
    ar("models", models);
    if constexpr (Ar::mode == state::Mode::read) {
        for (std::size_t i = 1; i < labels.size(); ++i) {
            ar.require(labels[i - 1] < labels[i], "class labels are not strictly ascending");
        }
        const std::size_t expected =
            labels.size() <= 2 ? std::min<std::size_t>(labels.size(), 1) : labels.size();
        ar.require(models.size() == expected, "model and label tables disagree");
    }
}

}  // namespace kavro
