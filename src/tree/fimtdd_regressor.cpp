#include "tree/fimtdd_regressor.hpp"
#include "tree/fimtdd_impl.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kavro {

using namespace fimtdd_impl;

namespace {

double sd_of(double n, double s, double q) {
    if (!(n > 1.0)) return 0.0;
    const double var = (q - s * s / n) / n;
    if (!(var > 0.0)) return 0.0;
    return std::sqrt(var);
}

// Deviations and weights of the two parts of a cut, both of count > 1:
// sd_of(nl, sl, ql), sd_of(nr, sr, qr), nl / total and nr / total. With SSE2
// the parts take one lane each: the same operations, half the divisions.
struct CutParts {
    double sd_l, sd_r, w_l, w_r;
};

inline CutParts cut_parts(double nl, double sl, double ql, double nr, double sr, double qr,
                          double total) {
#if defined(__SSE2__)
    const __m128d n = _mm_set_pd(nr, nl);
    const __m128d s = _mm_set_pd(sr, sl);
    const __m128d q = _mm_set_pd(qr, ql);
    const __m128d var = _mm_div_pd(_mm_sub_pd(q, _mm_div_pd(_mm_mul_pd(s, s), n)), n);
    // Lanes whose variance is not > 0 (or is NaN) give +0.
    const __m128d sd = _mm_and_pd(_mm_sqrt_pd(var), _mm_cmpgt_pd(var, _mm_setzero_pd()));
    const __m128d w = _mm_div_pd(n, _mm_set1_pd(total));
    double sd_out[2];
    double w_out[2];
    _mm_storeu_pd(sd_out, sd);
    _mm_storeu_pd(w_out, w);
    return CutParts{sd_out[0], sd_out[1], w_out[0], w_out[1]};
#else
    return CutParts{sd_of(nl, sl, ql), sd_of(nr, sr, qr), nl / total, nr / total};
#endif
}

// Loads queued insertion q of a tree into slot k.
inline void load_insert(InsertScratch& s, std::size_t k, EBST& tree, std::size_t q) {
    const double v = tree.pending[q].first;
    const double y = tree.pending[q].second;
    s.at[k] = s.nodes[k] = tree.nodes.data();
    s.value[k] = v;
    s.add[k] = {EBSTSums{1.0, y, y * y}, EBSTSums{-0.0, -0.0, -0.0}};
    s.tree[k] = &tree;
    s.next[k] = q + 1;
}

// Carries out the queued insertions of the given trees, each in arrival order.
// The trees advance in turns, one node each, so that their loads overlap.
void flush_inserts(const std::vector<EBST*>& trees, InsertScratch& s) {
    s.reserve(trees.size());
    std::size_t active = 0;
    for (EBST* tree : trees) {
        if (!tree || tree->pending.empty()) continue;
        std::size_t q = 0;
        if (tree->nodes.empty()) {
            const double y = tree->pending[0].second;
            tree->add_node(tree->pending[0].first, y, y * y);
            q = 1;
        }
        if (q == tree->pending.size()) {
            tree->pending.clear();
            continue;
        }
        load_insert(s, active++, *tree, q);
    }
    EBSTNode** const at = s.at.data();
    EBSTNode** const base = s.nodes.data();
    double* const value = s.value.data();
    std::array<EBSTSums, 2>* const add = s.add.data();
    EBST** const owner = s.tree.data();
    std::size_t* const next_q = s.next.data();
    while (active > 0) {
        for (std::size_t k = 0; k < active;) {
            EBSTNode& cur = *at[k];
            const double v = value[k];
            const double key = cur.key;
            // The side is data, not a branch.
            const std::size_t side = !(v <= key);
            const EBSTSums& d = add[k][side];
            cur.le.le_count += d.le_count;
            cur.le.le_sum += d.le_sum;
            cur.le.le_sq_sum += d.le_sq_sum;
            const std::uint32_t next = cur.child[side];
            if (__builtin_expect(v == key || next == kNone, 0)) {
                EBST& tree = *owner[k];
                if (!(v == key)) {
                    cur.child[side] = static_cast<std::uint32_t>(tree.nodes.size());
                    tree.add_node(v, add[k][0].le_sum, add[k][0].le_sq_sum);
                }
                if (next_q[k] < tree.pending.size()) {
                    load_insert(s, k, tree, next_q[k]);
                    ++k;
                    continue;
                }
                tree.pending.clear();
                --active;
                at[k] = at[active];
                base[k] = base[active];
                value[k] = value[active];
                add[k] = add[active];
                owner[k] = owner[active];
                next_q[k] = next_q[active];
                continue;
            }
            EBSTNode* const to = base[k] + next;
            at[k] = to;
            // The next visit comes after the other trees' steps: fetch its line now.
            __builtin_prefetch(to, 1);
            ++k;
        }
    }
}

}  // namespace

namespace {

// Sets z and ok of each value from its feature's statistics: ok when the count is
// > 1 and the deviation > 0, z = (value - mean) / (3 sigma). With SSE2 two values
// share each division and square root, computed as in SumStats.
void scale_values(std::vector<ScaledValue>& values, const std::vector<const SumStats*>& stats) {
    const std::size_t n = values.size();
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 1 < n; i += 2) {
        const SumStats& a = *stats[i];
        const SumStats& b = *stats[i + 1];
        const __m128d count = _mm_set_pd(b.count, a.count);
        const __m128d sum = _mm_set_pd(b.sum, a.sum);
        const __m128d sq_sum = _mm_set_pd(b.sq_sum, a.sq_sum);
        const __m128d var =
            _mm_div_pd(_mm_sub_pd(sq_sum, _mm_div_pd(_mm_mul_pd(sum, sum), count)), count);
        const __m128d ok = _mm_and_pd(_mm_cmpgt_pd(count, _mm_set1_pd(1.0)),
                                      _mm_cmpgt_pd(var, _mm_setzero_pd()));
        const __m128d sigma = _mm_sqrt_pd(var);
        const __m128d value = _mm_set_pd(values[i + 1].value, values[i].value);
        const __m128d z = _mm_div_pd(_mm_sub_pd(value, _mm_div_pd(sum, count)),
                                     _mm_mul_pd(_mm_set1_pd(3.0), sigma));
        double z_out[2];
        _mm_storeu_pd(z_out, z);
        const int ok_bits = _mm_movemask_pd(ok);
        for (int j = 0; j < 2; ++j) {
            ScaledValue& sv = values[i + j];
            sv.ok = (ok_bits >> j) & 1;
            sv.z = sv.ok ? z_out[j] : 0.0;
        }
    }
#endif
    for (; i < n; ++i) {
        const SumStats& g = *stats[i];
        const double sigma = g.sigma();
        ScaledValue& sv = values[i];
        sv.ok = sigma > 0.0;
        sv.z = sv.ok ? (sv.value - g.mean()) / (3.0 * sigma) : 0.0;
    }
}

}  // namespace

namespace {

using Node = FIMTDDRegressor::ModelTreeNode;

// child_for for the example being learnt, by feature id.
Node* child_in_example(const Node& N, const LearnState& im) {
    const std::uint32_t id = N.split_id;
    const double v = id < im.stamp_by_id.size() && im.stamp_by_id[id] == im.example_stamp
                         ? im.value_by_id[id]
                         : 0.0;
    return v <= N.threshold ? N.left.get() : N.right.get();
}

// route for the example being learnt.
Node* route_in_example(Node* node, const LearnState& im) {
    while (!node->is_leaf) node = child_in_example(*node, im);
    return node;
}

}  // namespace

FIMTDDRegressor::FIMTDDRegressor(int grace_period, double split_confidence, double tie_threshold,
                                 int max_depth, std::string leaf_prediction,
                                 double learning_ratio, double learning_rate_decay,
                                 bool learning_ratio_const, double page_hinckley_alpha,
                                 double page_hinckley_threshold,
                                 double alternate_tree_fading_factor, int alternate_tree_t_min,
                                 int alternate_tree_time, bool drift_detection, int seed)
    : grace_period_(grace_period),
      split_confidence_(split_confidence),
      tie_threshold_(tie_threshold),
      max_depth_(max_depth),
      leaf_prediction_(std::move(leaf_prediction)),
      learning_ratio_(learning_ratio),
      learning_rate_decay_(learning_rate_decay),
      learning_ratio_const_(learning_ratio_const),
      page_hinckley_alpha_(page_hinckley_alpha),
      page_hinckley_threshold_(page_hinckley_threshold),
      alternate_tree_fading_factor_(alternate_tree_fading_factor),
      alternate_tree_t_min_(alternate_tree_t_min),
      alternate_tree_time_(alternate_tree_time),
      drift_detection_(drift_detection),
      seed_(seed),
      impl_(std::make_unique<Impl>()),
      rng_(static_cast<std::uint32_t>(seed)) {
    impl_->mode = decode_mode(leaf_prediction_);
}

FIMTDDRegressor::~FIMTDDRegressor() = default;
FIMTDDRegressor::FIMTDDRegressor(FIMTDDRegressor&&) noexcept = default;
FIMTDDRegressor& FIMTDDRegressor::operator=(FIMTDDRegressor&&) noexcept = default;

void FIMTDDRegressor::set_leaf_prediction(std::string value) {
    leaf_prediction_ = std::move(value);
    impl_->mode = decode_mode(leaf_prediction_);
}

void FIMTDDRegressor::reset() {
    root_.reset();
    impl_->target_stats = SumStats{};
    impl_->global_feature_stats.clear();
    impl_->recent_features.clear();
    impl_->next_feature_id = 0;
    impl_->learn.main_leaf = nullptr;
    impl_->learn.last_output_leaf = nullptr;
    split_count_ = 0;
    rng_.seed(static_cast<std::uint32_t>(seed_));
}

// ---- leaf prediction -------------------------------------------------------

namespace {

struct LeafOps {
    const SumStats& target;
    const std::unordered_map<std::string, GlobalFeature>& features;
    LeafMode mode;
    // When learning: the learner's state, holding the scaled values of x.
    // Otherwise they are computed from features.
    LearnState* learning = nullptr;

    double model_output(const Node& L, const FeatureMap& x) const {
        double s = L.bias;
        if (learning) {
            if (learning->main_leaf == &L) return learning->main_leaf_output;
            if (!L.weights.empty()) {
                Node& M = const_cast<Node&>(L);
                for (const ScaledValue& sv : learning->scaled) {
                    if (!sv.ok) continue;
                    const double* w = M.find_weight(sv.id, *sv.name);
                    if (!w) continue;
                    s = std::fma(sv.z, *w, s);
                }
            }
        } else if (!L.weights.empty()) {
            for (const auto& kv : x) {
                auto g = features.find(kv.first);
                if (g == features.end()) continue;
                const double sigma = g->second.stats.sigma();
                if (!(sigma > 0.0)) continue;
                auto w = L.weights.find(kv.first);
                if (w == L.weights.end()) continue;
                const double z = (kv.second - g->second.stats.mean()) / (3.0 * sigma);
                s = std::fma(z, w->second, s);
            }
        }
        const double sigma_y = learning ? learning->target_sigma : target.sigma();
        double out = 0.0;
        if (sigma_y > 0.0) {
            out = target_mean() + 3.0 * s * sigma_y;
        } else if (target.count > 0.0) {
            out = target_mean();
        }
        if (learning) {
            learning->last_output_leaf = &L;
            learning->last_output = out;
        }
        return out;
    }

    // The target mean; only read while the target count is > 0.
    double target_mean() const { return learning ? learning->target_mean : target.mean(); }

    double leaf_mean(const Node& L) const {
        if (L.n > 0.0) return L.y_sum / L.n;
        if (target.count > 0.0) return target_mean();
        return 0.0;
    }

    // Model output if initialised (else 0), clamped to the leaf's target range.
    double clamped_model(const Node& L, const FeatureMap& x) const {
        double m = L.model_ready ? model_output(L, x) : 0.0;
        if (L.has_range) {
            m = std::min(m, L.y_max);
            m = std::max(m, L.y_min);
        }
        return m;
    }

    double predict(const Node& L, const FeatureMap& x) const {
        switch (mode) {
            case LeafMode::Mean:
                return leaf_mean(L);
            case LeafMode::Perceptron:
                return L.model_ready ? model_output(L, x) : 0.0;
            case LeafMode::Adaptive:
            default: {
                const double m = clamped_model(L, x);
                return L.model_sse < L.mean_sse ? m : leaf_mean(L);
            }
        }
    }
};

}  // namespace

double FIMTDDRegressor::predict_one(const FeatureMap& x) {
    if (!root_) return 0.0;
    const LeafOps ops{impl_->target_stats, impl_->global_feature_stats, impl_->mode};
    return ops.predict(*root_->route(x), x);
}

// ---- learning --------------------------------------------------------------

void FIMTDDRegressor::learn_one(const FeatureMap& x, double y) {
    if (!root_) root_ = std::make_unique<ModelTreeNode>();

    Impl& g_im = *impl_;
    LearnState& im = g_im.learn;
    g_im.target_stats.add(y);
    im.target_sigma = g_im.target_stats.sigma();
    im.target_mean = g_im.target_stats.mean();
    im.scaled.clear();
    im.scaled_stats.clear();
    ++im.example_stamp;
    auto& recent = g_im.recent_features;
    std::size_t pos = 0;
    for (const auto& kv : x) {
        GlobalFeature* entry;
        if (pos < recent.size() && recent[pos].first == kv.first) {
            entry = recent[pos].second;
        } else {
            entry = &g_im.global_feature_stats[kv.first];
            if (pos < recent.size()) {
                recent[pos].first = kv.first;
                recent[pos].second = entry;
            } else {
                recent.emplace_back(kv.first, entry);
            }
        }
        ++pos;
        GlobalFeature& gf = *entry;
        if (gf.id == kNone) {
            gf.id = g_im.next_feature_id++;
            if (im.value_by_id.size() < g_im.next_feature_id) {
                im.value_by_id.resize(g_im.next_feature_id, 0.0);
                im.stamp_by_id.resize(g_im.next_feature_id, 0);
            }
        }
        im.value_by_id[gf.id] = kv.second;
        im.stamp_by_id[gf.id] = im.example_stamp;
        gf.stats.add(kv.second);
        im.scaled.push_back(ScaledValue{&kv.first, gf.id, kv.second, 0.0, false});
        im.scaled_stats.push_back(&gf.stats);
    }
    scale_values(im.scaled, im.scaled_stats);

    const LeafOps ops{g_im.target_stats, g_im.global_feature_stats, g_im.mode, &im};
    im.main_leaf = nullptr;
    im.last_output_leaf = nullptr;
    const Node* leaf = route_in_example(root_.get(), im);
    const double p = ops.predict(*leaf, x);
    if (im.last_output_leaf == leaf) {
        im.main_leaf = leaf;
        im.main_leaf_output = im.last_output;
    }

    double e = 0.0;
    const double sigma_y = im.target_sigma;
    if (sigma_y > 0.0) {
        const double mean_y = im.target_mean;
        const double s3 = 3.0 * sigma_y;
        e = std::fabs((y - mean_y) / s3 - (p - mean_y) / s3);
    }

    route_pass(root_.get(), x, false, 0, y, p, e);
    im.main_leaf = nullptr;
    im.last_output_leaf = nullptr;
}

void FIMTDDRegressor::route_pass(ModelTreeNode* node, const FeatureMap& x, bool in_alternate,
                                 int depth, double y, double p, double e) {
    if (node->is_leaf) {
        learn_at_leaf(*node, x, y, depth, true);
        return;
    }
    bool permission = true;
    const double dp = y - p;
    while (!node->is_leaf) {
        Node& N = *node;
        N.ph_error_sum += e;
        N.ph_count += 1.0;
        if (!in_alternate) {
            bool run_test = true;
            if (N.alternate) {
                const LeafOps ops{impl_->target_stats, impl_->global_feature_stats, impl_->mode,
                                  &impl_->learn};
                const double ff = alternate_tree_fading_factor_;
                N.orig_faded_error = std::fma(dp, dp, ff * N.orig_faded_error);
                const double q = ops.predict(*route_in_example(N.alternate.get(), impl_->learn), x);
                const double dq = y - q;
                N.alt_faded_error = std::fma(dq, dq, ff * N.alt_faded_error);
                N.alt_n += 1.0;

                bool settled = false;
                if (N.alt_n - N.alt_last_check >= alternate_tree_t_min_) {
                    N.alt_last_check = N.alt_n;
                    const double r =
                        std::log((N.orig_faded_error + 1e-12) / (N.alt_faded_error + 1e-12));
                    if (r > 0.0) {
                        // The main tree below N is replaced (and freed).
                        impl_->learn.main_leaf = nullptr;
                        std::unique_ptr<ModelTreeNode> alt = std::move(N.alternate);
                        N = std::move(*alt);
                        alt.reset();
                        N.ph_active = true;
                        N.ph_cum = 0.0;
                        N.ph_min_set = false;
                        N.alternate.reset();
                        continue;
                    }
                    if (N.alt_n >= alternate_tree_time_) {
                        N.alternate.reset();
                        N.ph_active = true;
                        N.ph_cum = 0.0;
                        N.ph_min_set = false;
                        if (drift_detection_) change_test(N, e);
                        settled = true;
                        run_test = false;
                    }
                }
                if (!settled) {
                    route_pass(N.alternate.get(), x, true, depth, y, p, e);
                    permission = false;
                }
            }
            if (run_test && drift_detection_ && N.ph_active) change_test(N, e);
        }
        node = child_in_example(N, impl_->learn);
        ++depth;
    }
    learn_at_leaf(*node, x, y, depth, permission);
}

void FIMTDDRegressor::change_test(ModelTreeNode& N, double e) {
    const double f = e - N.ph_error_sum / N.ph_count - page_hinckley_alpha_ + N.ph_cum;
    N.ph_cum = f;
    N.ph_min = N.ph_min_set ? std::min(f, N.ph_min) : f;
    N.ph_min_set = true;
    if (f - N.ph_min > page_hinckley_threshold_) {
        N.alternate = std::make_unique<ModelTreeNode>();
        N.ph_active = false;
        N.alt_n = 0.0;
        N.orig_faded_error = 0.0;
        N.alt_faded_error = 0.0;
        N.alt_last_check = 0.0;
    }
}

void FIMTDDRegressor::learn_at_leaf(ModelTreeNode& L, const FeatureMap& x, double y, int depth,
                                    bool may_split) {
    Impl& im = *impl_;
    const LeafOps ops{im.target_stats, im.global_feature_stats, im.mode, &im.learn};
    const bool with_model = im.mode != LeafMode::Mean;

    if (with_model) {
        const double mu = ops.leaf_mean(L);
        const double m = ops.clamped_model(L, x);
        L.mean_sse += (mu - y) * (mu - y);
        L.model_sse += (m - y) * (m - y);
    }

    if (L.has_range) {
        L.y_min = std::min(y, L.y_min);
        L.y_max = std::max(y, L.y_max);
    } else {
        L.y_min = y;
        L.y_max = y;
        L.has_range = true;
    }

    L.y_sum += y;
    L.n += 1.0;
    L.y_sq_sum += y * y;
    L.ph_count += 1.0;

    if (with_model) {
        if (!L.model_ready) {
            for (const auto& kv : x) L.weights[kv.first] = uniform_pm1(rng_);
            L.bias = uniform_pm1(rng_);
            L.model_ready = true;
        }
        L.model_updates += 1.0;
        const double eta = learning_ratio_const_
                               ? learning_ratio_
                               : learning_ratio_ / (1.0 + L.model_updates * learning_rate_decay_);
        auto& buf = im.update_buffer;
        buf.clear();
        double s = L.bias;
        for (const ScaledValue& sv : im.learn.scaled) {
            const double z = sv.ok ? sv.z : 0.0;
            double& w = L.weight_at(sv.id, *sv.name);
            buf.emplace_back(&w, z);
            s = s + w * z;
        }
        double t = 0.0;
        const double sigma_y = im.learn.target_sigma;
        if (sigma_y > 0.0) t = (y - im.learn.target_mean) / (3.0 * sigma_y);
        const double err = t - s;
        for (const auto& wz : buf) *wz.first += eta * err * wz.second;
        L.bias += eta * err;
    }

    // Search trees are read only by split attempts: insertions are queued and
    // carried out in batches, before an attempt and at the latest every
    // kMaxPendingExamples examples.
    for (const ScaledValue& sv : im.learn.scaled) {
        L.observer_at(sv.id, *sv.name).pending.emplace_back(sv.value, y);
    }
    L.pending_examples += 1;
    const bool attempt =
        may_split && depth < max_depth_ && L.n - L.n_at_last_attempt >= grace_period_;
    if (attempt || L.pending_examples >= kMaxPendingExamples) {
        flush_inserts(L.observer_slots, im.insert_scratch);
        L.pending_examples = 0;
    }

    if (attempt) attempt_split(L);
}

namespace {

struct BestCut {
    double merit = -1.0;
    double key = 0.0;
};

// Merit of the cut at a node whose left part is (nl, sl, ql), or false when a
// part has fewer than 5 examples.
inline bool cut_merit(double nl, double sl, double ql, double N, double S, double Q,
                      double sd_all, double& sdr) {
    const double nr = N - nl;
    if (!(nl >= 5.0 && nr >= 5.0)) return false;
    const CutParts parts = cut_parts(nl, sl, ql, nr, S - sl, Q - ql, N);
    sdr = std::fma(-parts.w_l, parts.sd_l, sd_all);
    sdr = std::fma(-parts.w_r, parts.sd_r, sdr);
    return true;
}

// Best cut of one feature: the first of largest merit in the in-order walk.
// The left part at a node is the sums carried into it plus its own le sums; its
// left child inherits what it was given, its right child its left part.
BestCut best_cut(const EBST& tree, double N, double S, double Q, double sd_all,
                 std::vector<Carried>& carried,
                 std::vector<std::pair<std::uint32_t, Carried>>& stack) {
    BestCut best;
    const std::vector<EBSTNode>& nodes = tree.nodes;
    const std::size_t n = nodes.size();
    if (n == 0) return best;
    if (!tree.has_nan_key) {
        // A parent precedes its children in the vector: one pass in storage
        // order. Keys are distinct and ordered, so ties go to the smaller key.
        if (carried.size() < n + 1) carried.resize(n + 1);
        carried[0] = Carried{};
        // Missing children write into the spare entry n.
        const std::uint32_t spare = static_cast<std::uint32_t>(n);
        bool found = false;
        for (std::size_t i = 0; i < n; ++i) {
            const EBSTNode& node = nodes[i];
            const Carried c = carried[i];
            const Carried left{c.count + node.le.le_count, c.sum + node.le.le_sum,
                               c.sq_sum + node.le.le_sq_sum};
            carried[std::min(node.child[0], spare)] = c;
            carried[std::min(node.child[1], spare)] = left;
            double sdr;
            if (!cut_merit(left.count, left.sum, left.sq_sum, N, S, Q, sd_all, sdr)) continue;
            if (sdr > best.merit || (found && sdr == best.merit && node.key < best.key)) {
                best.merit = sdr;
                best.key = node.key;
                found = true;
            }
        }
        return best;
    }
    // In-order walk.
    stack.clear();
    std::uint32_t cur = 0;
    Carried sums;
    while (cur != kNone || !stack.empty()) {
        while (cur != kNone) {
            stack.emplace_back(cur, sums);
            cur = nodes[cur].child[0];
        }
        const EBSTNode& node = nodes[stack.back().first];
        const Carried c = stack.back().second;
        stack.pop_back();
        sums = Carried{c.count + node.le.le_count, c.sum + node.le.le_sum,
                       c.sq_sum + node.le.le_sq_sum};
        double sdr;
        if (cut_merit(sums.count, sums.sum, sums.sq_sum, N, S, Q, sd_all, sdr) &&
            sdr > best.merit) {
            best.merit = sdr;
            best.key = node.key;
        }
        cur = node.child[1];
    }
    return best;
}

}  // namespace

void FIMTDDRegressor::attempt_split(ModelTreeNode& L) {
    const double N = L.n;
    const double S = L.y_sum;
    const double Q = L.y_sq_sum;
    const double sd_all = sd_of(N, S, Q);

    const std::string* best_name = nullptr;
    double best_merit = -1.0;
    double best_key = 0.0;
    double second_merit = -1.0;

    for (const auto& obs : L.observers) {
        const BestCut cut =
            best_cut(obs.second, N, S, Q, sd_all, impl_->carried, impl_->walk_stack);
        const double f_merit = cut.merit;
        const double f_key = cut.key;
        if (!(f_merit > 0.0)) continue;
        if (f_merit > best_merit) {
            second_merit = best_merit;
            best_merit = f_merit;
            best_name = &obs.first;
            best_key = f_key;
        } else if (f_merit > second_merit) {
            second_merit = f_merit;
        }
    }

    bool split = false;
    if (best_name && best_merit > 0.0 && !best_name->empty()) {
        if (!(second_merit > 0.0)) {
            split = true;
        } else {
            const double eps = std::sqrt(std::log(1.0 / split_confidence_) / (2.0 * N));
            split = second_merit / best_merit < 1.0 - eps || eps < tie_threshold_;
        }
    }

    if (split) {
        L.is_leaf = false;
        L.split_feature = *best_name;
        // Every observed feature has tree-wide statistics, hence an id.
        auto g = impl_->global_feature_stats.find(L.split_feature);
        L.split_id = g == impl_->global_feature_stats.end() ? kNone : g->second.id;
        L.threshold = best_key;
        L.left = std::make_unique<ModelTreeNode>();
        L.right = std::make_unique<ModelTreeNode>();
        if (impl_->mode != LeafMode::Mean) {
            for (ModelTreeNode* child : {L.left.get(), L.right.get()}) {
                child->weights = L.weights;
                child->bias = L.bias;
                child->model_updates = L.model_updates;
                child->model_ready = L.model_ready;
            }
        }
        std::unordered_map<std::string, EBST>().swap(L.observers);
        std::vector<EBST*>().swap(L.observer_slots);
        split_count_ += 1;
    }
    L.n_at_last_attempt = N;
}

}  // namespace kavro
