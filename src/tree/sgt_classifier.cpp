#include "tree/sgt_classifier.hpp"

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/validation.hpp"

namespace kavro {

SGTNode::~SGTNode() {
    if (!left && !right) return;
    std::vector<std::unique_ptr<SGTNode>> pending;
    if (left) pending.push_back(std::move(left));
    if (right) pending.push_back(std::move(right));
    while (!pending.empty()) {
        std::unique_ptr<SGTNode> node = std::move(pending.back());
        pending.pop_back();
        if (node->left) pending.push_back(std::move(node->left));
        if (node->right) pending.push_back(std::move(node->right));
    }
}

namespace {

constexpr double kSqrt2 = 1.4142135623730951;

using StatsTable = std::unordered_map<std::string, WeightedStats>;

// Copies every summary with its weight and m2 scaled by `share`.
void copy_scaled(const StatsTable& from, double share, StatsTable& to) {
    for (const auto& [name, s] : from) {
        WeightedStats& t = to[name];
        t.weight = s.weight * share;
        t.mean = s.mean;
        t.m2 = s.m2 * share;
    }
}

inline double leaf_probability(const SGTNode& leaf) { return 1.0 / (1.0 + std::exp(-leaf.value)); }

}  // namespace

SGTClassifier::SGTClassifier(double learning_rate, double lambda, std::int32_t grace_period,
                             std::int32_t max_depth)
    : learning_rate_(learning_rate),
      lambda_(lambda),
      grace_period_(grace_period),
      max_depth_(max_depth),
      root_(std::make_unique<SGTNode>()) {
    require_at_least<std::int32_t>("grace_period", grace_period, 1);
    set_learning_rate(learning_rate);
    set_lambda(lambda);
}

bool SGTClassifier::valid_learning_rate(double value) { return std::isfinite(value) && value > 0.0; }

bool SGTClassifier::valid_lambda(double value) { return std::isfinite(value) && value >= 0.0; }

void SGTClassifier::set_learning_rate(double value) {
    if (!valid_learning_rate(value)) {
        throw std::invalid_argument("'learning_rate' must be a finite number above 0 (got " +
                                    std::to_string(value) + ").");
    }
    learning_rate_ = value;
}

void SGTClassifier::set_lambda(double value) {
    if (!valid_lambda(value)) {
        throw std::invalid_argument("'lambda_' must be a finite number of at least 0 (got " +
                                    std::to_string(value) + ").");
    }
    lambda_ = value;
}

void SGTClassifier::set_grace_period(std::int32_t value) {
    require_at_least<std::int32_t>("grace_period", value, 1);
    grace_period_ = value;
}

SGTNode* SGTClassifier::route(const FeatureMap& x, std::int32_t& depth) const {
    SGTNode* node = root_.get();
    depth = 0;
    while (!node->is_leaf) {
        auto it = x.find(node->split_feature);
        const double value = it == x.end() ? 0.0 : it->second;
        node = value <= node->threshold ? node->left.get() : node->right.get();
        ++depth;
    }
    return node;
}

void SGTClassifier::learn_one(const FeatureMap& x, ClassLabel y) {
    std::int32_t depth = 0;
    SGTNode& leaf = *route(x, depth);

    const double p = leaf_probability(leaf);
    const double g = y <= 0 ? p : p - 1.0;
    double h = p * (1.0 - p);
    if (h < 1e-6) h = 1e-6;

    leaf.n_seen += 1;
    leaf.grad_sum += g;
    leaf.hess_sum += h;

    const double abs_g = std::fabs(g);
    for (const auto& [name, v] : x) {
        leaf.grad_stats[name].update(v, abs_g);
        leaf.hess_stats[name].update(v, h);
    }

    const double denom = leaf.hess_sum + lambda_;
    if (denom > 0.0) leaf.value = leaf.value - learning_rate_ * leaf.grad_sum / denom;

    if (leaf.n_seen % grace_period_ == 0 && depth < max_depth_ && leaf.n_seen >= grace_period_) {
        attempt_split(leaf);
    }
}

void SGTClassifier::attempt_split(SGTNode& leaf) {
    const double G = leaf.grad_sum;
    const double H = leaf.hess_sum;
    const double lam = lambda_;

    double best = 0.0;
    const std::string* best_feature = nullptr;
    double best_threshold = 0.0;
    double best_gl = 0.0, best_gr = 0.0, best_hl = 0.0, best_hr = 0.0;

    for (const auto& [f, s] : leaf.grad_stats) {
        if (!(s.weight > 0.0)) continue;
        const double theta = s.mean;
        double q = 0.5;
        auto it = leaf.hess_stats.find(f);
        if (it != leaf.hess_stats.end() && it->second.weight > 1.0) {
            const double sd = it->second.std_dev();
            if (!(sd <= 0.0)) {
                q = (std::erf((theta - it->second.mean) / (sd * kSqrt2)) + 1.0) * 0.5;
                if (q >= 0.99) {
                    q = 0.99;
                } else if (q <= 0.01) {
                    q = 0.01;
                }
            }
        }
        const double r = 1.0 - q;
        const double gl = q * G;
        const double gr = r * G;
        const double hl = q * H;
        const double hr = r * H;
        const double gain = 0.5 * (gl * gl / (lam + hl) + gr * gr / (lam + hr) -
                                   (gl + gr) * (gl + gr) / (lam + hl + hr));
        if (gain > best) {
            best = gain;
            best_feature = &f;
            best_threshold = theta;
            best_gl = gl;
            best_gr = gr;
            best_hl = hl;
            best_hr = hr;
        }
    }
    if (best_feature == nullptr || best_feature->empty() || !(best > 0.0)) return;

    auto left = std::make_unique<SGTNode>();
    auto right = std::make_unique<SGTNode>();
    if (lam + best_hl > 0.0) left->value = -best_gl / (lam + best_hl);
    if (lam + best_hr > 0.0) right->value = -best_gr / (lam + best_hr);
    double fl = 0.5;
    double fr = 0.5;
    if (H > 0.0) {
        fl = best_hl / H;
        fr = 1.0 - fl;
    }
    const double n = static_cast<double>(leaf.n_seen);
    left->grad_sum = best_gl;
    left->hess_sum = best_hl;
    left->n_seen = static_cast<std::int64_t>(n * fl);
    right->grad_sum = best_gr;
    right->hess_sum = best_hr;
    right->n_seen = static_cast<std::int64_t>(n * fr);
    copy_scaled(leaf.grad_stats, fl, left->grad_stats);
    copy_scaled(leaf.grad_stats, fr, right->grad_stats);
    copy_scaled(leaf.hess_stats, fl, left->hess_stats);
    copy_scaled(leaf.hess_stats, fr, right->hess_stats);

    leaf.is_leaf = false;
    leaf.split_feature = *best_feature;
    leaf.threshold = best_threshold;
    leaf.left = std::move(left);
    leaf.right = std::move(right);
    StatsTable().swap(leaf.grad_stats);
    StatsTable().swap(leaf.hess_stats);
    leaf.grad_sum = 0.0;
    leaf.hess_sum = 0.0;
    leaf.n_seen = 0;
}

ClassLabel SGTClassifier::predict_one(const FeatureMap& x) {
    std::int32_t depth = 0;
    return route(x, depth)->value >= 0.0 ? 1 : 0;
}

ProbabilityMap SGTClassifier::predict_proba_one(const FeatureMap& x) {
    std::int32_t depth = 0;
    const double p = leaf_probability(*route(x, depth));
    ProbabilityMap result;
    result[1] = p;
    result[0] = 1.0 - p;
    return result;
}

void SGTClassifier::reset() { root_ = std::make_unique<SGTNode>(); }

}  // namespace kavro
