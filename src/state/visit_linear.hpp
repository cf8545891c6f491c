// Saved state of the linear learners and naive Bayes.
#pragma once

#include <set>

#include "linear/bayesian_linear_regression.hpp"
#include "linear/linear_regression.hpp"
#include "linear/linear_tables.hpp"
#include "linear/logistic_regression.hpp"
#include "linear/naive_bayes.hpp"
#include "linear/passive_aggressive_classifier.hpp"
#include "linear/passive_aggressive_regressor.hpp"
#include "linear/perceptron.hpp"
#include "linear/softmax_regression.hpp"
#include "state/archive.hpp"

namespace kavro {

namespace state {
template <class Ar>
void visit(Ar& ar, NaiveBayes::FeatureStats& s) {
    ar("count", s.count);
    ar("mean", s.mean);
    ar("m2", s.m2);
}

// A label always enters both tables together.
template <class Ar>
void visit(Ar& ar, ClassWeights& t) {
    ar("weights", t.weights);
    ar("bias", t.bias);
    if constexpr (Ar::mode == Mode::read) {
        bool same = t.weights.size() == t.bias.size();
        for (const auto& entry : t.weights) same = same && t.bias.count(entry.first) == 1;
        ar.require(same, "the weight and bias tables hold different labels");
    }
}

// The known labels are exactly the labels of the tables.
template <class Ar>
void require_labels_match(Ar& ar, const std::set<ClassLabel>& labels, const ClassWeights& t) {
    if constexpr (Ar::mode == Mode::read) {
        bool same = labels.size() == t.weights.size();
        for (const ClassLabel c : labels) same = same && t.weights.count(c) == 1;
        ar.require(same, "the known labels disagree with the weight tables");
    }
}
}  // namespace state

template <class Ar>
void NaiveBayes::visit(Ar& ar) {
    ar("class_counts", class_counts);
    ar("feature_stats", feature_stats);
    ar("total_count", total_count);
}

template <class Ar>
void Perceptron::visit(Ar& ar) {
    ar("learning_rate", learning_rate);
    ar("tables", tables);
}

template <class Ar>
void LogisticRegression::visit(Ar& ar) {
    ar("learning_rate", learning_rate);
    ar("l2", l2);
    ar("tables", tables);
    ar("labels", labels);
    state::require_labels_match(ar, labels, tables);
}

template <class Ar>
void PassiveAggressiveClassifier::visit(Ar& ar) {
    ar("C", C);
    ar("tables", tables);
    ar("labels", labels);
    state::require_labels_match(ar, labels, tables);
}

template <class Ar>
void SoftmaxRegression::visit(Ar& ar) {
    ar("learning_rate", learning_rate);
    ar("l2", l2);
    ar("tables", tables);
    ar("labels", labels);
    state::require_labels_match(ar, labels, tables);
}

template <class Ar>
void LinearRegression::visit(Ar& ar) {
    ar("learning_rate", learning_rate);
    ar("l2", l2);
    ar("weights", weights);
    ar("bias", bias);
}

template <class Ar>
void BayesianLinearRegression::visit(Ar& ar) {
    ar("alpha", alpha);
    ar("beta", beta);
    ar("precision", precision);
    ar("mean", mean);
    ar("bias_precision", bias_precision);
    ar("bias_mean", bias_mean);
    if constexpr (Ar::mode == state::Mode::read) {
        bool same = precision.size() == mean.size();
        for (const auto& entry : precision) same = same && mean.count(entry.first) == 1;
        ar.require(same, "BayesianLinearRegression precision and mean tables hold different names");
    }
}

template <class Ar>
void PassiveAggressiveRegressor::visit(Ar& ar) {
    ar("C", C);
    ar("epsilon", epsilon);
    ar("weights", weights);
    ar("bias", bias);
}

}  // namespace kavro
