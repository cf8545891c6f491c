// Saved state of the linear learners and naive Bayes.
#pragma once

#include "linear/naive_bayes.hpp"
#include "state/archive.hpp"

namespace kavro {

namespace state {
template <class Ar>
void visit(Ar& ar, NaiveBayes::FeatureStats& s) {
    ar("count", s.count);
    ar("mean", s.mean);
    ar("m2", s.m2);
}
}  // namespace state

template <class Ar>
void NaiveBayes::visit(Ar& ar) {
    ar("class_counts", class_counts);
    ar("feature_stats", feature_stats);
    ar("total_count", total_count);
}

}  // namespace kavro
