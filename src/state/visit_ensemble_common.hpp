// Saved state of the members shared by the drift-aware ensembles.
#pragma once

#include "ensemble/ensemble_common.hpp"
#include "state/archive.hpp"
#include "state/visit_drift.hpp"

namespace kavro::state {

template <class Tree>
struct Construct<ensemble::DriftMember<Tree>> {
    static ensemble::DriftMember<Tree> make() { return ensemble::DriftMember<Tree>(0.0, 0.0); }
};

template <class Ar, class Tree>
void visit(Ar& ar, ensemble::DriftMember<Tree>& m) {
    ar("foreground", m.foreground);
    ar("background", m.background);
    ar("drift_detector", m.drift_detector);
    ar("warning_detector", m.warning_detector);
    ar("subspace", m.subspace);
    ar("n_correct", m.n_correct);
    ar("n_seen", m.n_seen);
    ar("initialised", m.initialised);
    ar("n_warnings", m.n_warnings);
    ar("n_drifts", m.n_drifts);
    if constexpr (Ar::mode == Mode::describe) {
        double weight = m.weight();  // the voting weight, derived from the counts above
        ar("weight", weight);
    }
}

}  // namespace kavro::state
