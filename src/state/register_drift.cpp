#include "state/registry.hpp"
#include "state/visit_drift.hpp"

namespace kavro::state {

void register_drift(Registry& r) {
    r.add<ADWIN>("ADWIN");
    r.add<EDDM>("EDDM");
}

}  // namespace kavro::state
