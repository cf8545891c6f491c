#include "tree/hoeffding_tree_regressor.hpp"
#include "tree/hoeffding_tree_regressor_impl.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <unordered_map>

#include "core/validation.hpp"

namespace kavro {

namespace {

using htr_impl::FeatureStats;

double clip3(double v) {
    if (v >= 3.0) return 3.0;
    if (v < -3.0) return -3.0;
    return v;
}

}  // namespace

namespace {

using Node = HoeffdingTreeRegressor::RegressorNode;

void fill_child(Node& child, const Node& parent, double share) {
    child.y_weight = share * parent.y_weight;
    child.y_mean = parent.y_mean;
    child.y_m2 = share * parent.y_m2;
    child.weight = share * parent.weight;
    child.n_seen = static_cast<std::int64_t>(share * static_cast<double>(parent.n_seen));
    child.feature_stats = parent.feature_stats;
    for (auto& kv : child.feature_stats) {
        kv.second.weight = kv.second.weight * share;
        kv.second.m2 = kv.second.m2 * share;
    }
    child.weights = parent.weights;
    child.bias = parent.bias;
}

}  // namespace

HoeffdingTreeRegressor::HoeffdingTreeRegressor(int grace_period, int max_depth,
                                               double split_confidence, double tie_threshold,
                                               double learning_rate)
    : grace_period_(grace_period),
      split_confidence_(split_confidence),
      tie_threshold_(tie_threshold),
      max_depth_(max_depth),
      learning_rate_(learning_rate),
      root_(std::make_unique<RegressorNode>()) {
    require_at_least("grace_period", grace_period, 1);
}

HoeffdingTreeRegressor::~HoeffdingTreeRegressor() = default;
HoeffdingTreeRegressor::HoeffdingTreeRegressor(HoeffdingTreeRegressor&&) noexcept = default;
HoeffdingTreeRegressor& HoeffdingTreeRegressor::operator=(HoeffdingTreeRegressor&&) noexcept =
    default;

void HoeffdingTreeRegressor::set_grace_period(int value) {
    require_at_least("grace_period", value, 1);
    grace_period_ = value;
}

void HoeffdingTreeRegressor::reset() { root_ = std::make_unique<RegressorNode>(); }

namespace {

Node* route(Node* node, const FeatureMap& x, int* depth) {
    int d = 0;
    while (!node->is_leaf) {
        auto it = x.find(node->split_feature);
        const double v = it == x.end() ? 0.0 : it->second;
        node = v <= node->threshold ? node->left.get() : node->right.get();
        ++d;
    }
    if (depth) *depth = d;
    return node;
}

void attempt_split(Node& L, double split_confidence_, double tie_threshold_);

}  // namespace

double HoeffdingTreeRegressor::predict_one(const FeatureMap& x) {
    const Node* leaf = route(root_.get(), x, nullptr);
    if (leaf->n_seen >= grace_period_ && leaf->mean_sse > leaf->model_sse) {
        return leaf->model_prediction(x);
    }
    return leaf->y_mean;
}

void HoeffdingTreeRegressor::learn_one(const FeatureMap& x, double y) {
    int depth = 0;
    Node* leaf = route(root_.get(), x, &depth);
    Node& L = *leaf;

    if (L.n_seen > 0) {
        const double dm = y - L.y_mean;
        L.mean_sse = std::fma(dm, dm, L.mean_sse);
        const double dp = y - L.model_prediction(x);
        L.model_sse = std::fma(dp, dp, L.model_sse);
    }
    L.n_seen += 1;

    L.y_weight += 1.0;
    const double old = L.y_mean;
    L.y_mean = old + (y - old) / L.y_weight;
    L.y_m2 += (y - old) * (y - L.y_mean);
    L.weight += 1.0;

    for (const auto& kv : x) {
        FeatureStats& fs = L.feature_stats[kv.first];
        const double v = kv.second;
        const double old_mean = fs.mean;
        fs.weight += 1.0;
        fs.mean += (v - old_mean) / fs.weight;
        fs.m2 += (v - fs.mean) * (v - old_mean);
    }

    if (L.has_sd_y()) {
        const double sd = L.sd_y();
        if (sd > 0.0) {
            const double t = (y - L.y_mean) / sd;
            scratch_.clear();
            double s = L.bias;
            for (const auto& kv : x) {
                const double z = L.standardised(kv.first, kv.second);
                scratch_.emplace_back(&kv.first, z);
                auto w = L.weights.find(kv.first);
                if (w != L.weights.end()) s += z * w->second;
            }
            const double err = clip3(t - s);
            for (const auto& nz : scratch_) {
                const double g = clip3(err * nz.second);
                L.weights[*nz.first] += learning_rate_ * g;
            }
            L.bias += learning_rate_ * err;
        }
    }

    if (L.n_seen % grace_period_ == 0 && depth < max_depth_ && L.n_seen > 1) {
        attempt_split(L, split_confidence_, tie_threshold_);
    }
}

namespace {

void attempt_split(Node& L, double split_confidence_, double tie_threshold_) {
    if (!L.has_sd_y()) return;
    const double sd_y = L.sd_y();
    if (!(sd_y > 0.0)) return;
    if (L.feature_stats.empty()) return;

    std::vector<const std::string*> names;
    names.reserve(L.feature_stats.size());
    for (const auto& kv : L.feature_stats) names.push_back(&kv.first);
    std::sort(names.begin(), names.end(),
              [](const std::string* a, const std::string* b) { return *a < *b; });

    const double n = static_cast<double>(L.n_seen);
    const double eps = std::sqrt(sd_y * sd_y * std::log(1.0 / split_confidence_) / (2.0 * n));

    double best = -std::numeric_limits<double>::infinity();
    double second = -std::numeric_limits<double>::infinity();
    const std::string* best_feature = nullptr;
    double best_threshold = 0.0;
    for (const std::string* name : names) {
        const FeatureStats& fs = L.feature_stats.find(*name)->second;
        if (!(fs.weight > 0.0)) continue;
        const double theta = fs.mean;
        double merit = 0.0;
        if (!(L.weight < 2.0)) {
            const double q = L.left_fraction(*name, theta);
            const double r = 1.0 - q;
            merit = std::fma(-(q * sd_y), std::sqrt(q), sd_y);
            merit = std::fma(-(r * sd_y), std::sqrt(r), merit);
        }
        if (merit > best) {
            second = best;
            best = merit;
            best_feature = name;
            best_threshold = theta;
        } else {
            second = std::max(second, merit);
        }
    }

    if (!best_feature || best_feature->empty() || !(best > 0.0)) return;
    const double gap = best - second;
    if (!(gap > eps || (gap < tie_threshold_ && eps < tie_threshold_))) return;

    const std::string feature = *best_feature;
    const double q = L.left_fraction(feature, best_threshold);
    const double r = 1.0 - q;
    auto left = std::make_unique<Node>();
    auto right = std::make_unique<Node>();
    fill_child(*left, L, q);
    fill_child(*right, L, r);

    L.is_leaf = false;
    L.split_feature = feature;
    L.threshold = best_threshold;
    L.left = std::move(left);
    L.right = std::move(right);
    L.y_weight = 0.0;
    L.y_mean = 0.0;
    L.y_m2 = 0.0;
    L.weight = 0.0;
    L.n_seen = 0;
    L.bias = 0.0;
    std::unordered_map<std::string, FeatureStats>().swap(L.feature_stats);
    std::unordered_map<std::string, double>().swap(L.weights);
}

}  // namespace

}  // namespace kavro
