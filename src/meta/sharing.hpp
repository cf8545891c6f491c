// Whether learners share an object (a pipeline step given to two pipelines, say): written
// together, an object met again is written as a short reference instead of in full, so the
// joint saved form is shorter than the separate ones exactly when something is shared.
// Members that learn on separate threads must share nothing. For bind_*.cpp files only.
#pragma once

#include <memory>
#include <typeinfo>
#include <vector>

#include "state/registry.hpp"

namespace kavro::meta {

template <class Learner>
bool share_objects(const std::vector<const Learner*>& learners) {
    state::Codec joint_codec(false);
    state::Writer joint;
    joint.codec = &joint_codec;
    std::size_t separate = 0;
    for (const Learner* l : learners) {
        state::Codec codec(false);
        state::Writer w;
        w.codec = &codec;
        codec.write_ref(w, dynamic_cast<const void*>(l), typeid(*l));
        separate += w.out.size();
        joint_codec.write_ref(joint, dynamic_cast<const void*>(l), typeid(*l));
    }
    return joint.out.size() != separate;
}

template <class Learner>
bool share_objects(const std::vector<std::shared_ptr<Learner>>& learners,
                   const Learner* extra = nullptr) {
    std::vector<const Learner*> all;
    for (const auto& l : learners) all.push_back(l.get());
    if (extra != nullptr) all.push_back(extra);
    return share_objects(all);
}

}  // namespace kavro::meta
