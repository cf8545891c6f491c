#include "tree/hoeffding_tree_classifier.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "core/validation.hpp"

namespace kavro {

ClassifierNode::~ClassifierNode() {
    if (!left && !right) return;
    std::vector<std::unique_ptr<ClassifierNode>> pending;
    if (left) pending.push_back(std::move(left));
    if (right) pending.push_back(std::move(right));
    while (!pending.empty()) {
        std::unique_ptr<ClassifierNode> node = std::move(pending.back());
        pending.pop_back();
        if (node->left) pending.push_back(std::move(node->left));
        if (node->right) pending.push_back(std::move(node->right));
    }
}

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kDensityFloor = 1e-300;
constexpr double kLogDensityFloor = -690.7755278982137;
constexpr double kSqrt2 = 1.4142135623730951;

// Equality of feature names, testing the last character (where names such as
// "f0" ... "f9" differ) and the first before the rest.
inline bool same_name(const std::string& a, const std::string& b) {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    if (n == 0) return true;
    if (a[n - 1] != b[n - 1] || a[0] != b[0]) return false;
    return n <= 2 || std::memcmp(a.data() + 1, b.data() + 1, n - 2) == 0;
}

// map.find(name) as an iterator; a small map is scanned directly, which finds
// the same (unique) entry without hashing.
template <typename Map>
auto find_name(Map& map, const std::string& name) -> decltype(map.find(name)) {
    constexpr std::size_t kScanLimit = 16;
    if (map.size() > kScanLimit) return map.find(name);
    for (auto it = map.begin(); it != map.end(); ++it) {
        if (same_name(it->first, name)) return it;
    }
    return map.end();
}

// n % period == 0 for period >= 1, in 32-bit arithmetic when n allows (a much
// cheaper division).
inline bool due(std::int64_t n, std::int32_t period) {
    if (n >= 0 && n <= std::numeric_limits<std::uint32_t>::max()) {
        return static_cast<std::uint32_t>(n) % static_cast<std::uint32_t>(period) == 0;
    }
    return n % period == 0;
}

// Label with the largest count; ties keep the first in iteration order; 0 when empty.
ClassLabel majority_label(const ClassifierNode& leaf) {
    double best = -1.0;
    ClassLabel label = 0;
    for (const auto& [c, n] : leaf.class_counts) {
        if (n > best) {
            best = n;
            label = c;
        }
    }
    return label;
}

// Argmax of the naive Bayes log-scores. `scored` is false when the leaf has no
// scores; `found` tells whether some class beat -inf (then `label` is the argmax,
// ties keeping the first in iteration order).
struct NbArgmax {
    bool scored = false;
    bool found = false;
    ClassLabel label = 0;
    // With capture asked: class y's estimators by layout position, when it has a table.
    LayoutEstimators captured;
};

// Makes leaf.layout_table and leaf.by_layout describe the leaf's tables for
// `layout`, unless they already do.
void bind_layout(ClassifierNode& leaf, const KeyLayout& layout) {
    if (leaf.layout == layout.id && leaf.layout_table.size() == leaf.class_counts.size() &&
        leaf.layout_tables == leaf.class_observers.size()) {
        return;
    }
    leaf.layout = 0;  // until complete
    const std::size_t n_features = layout.names.size();
    leaf.layout_table.clear();
    leaf.by_layout.assign(leaf.class_counts.size() * n_features, nullptr);
    GaussianEstimator** at = leaf.by_layout.data();
    for (const auto& entry : leaf.class_counts) {
        auto obs = leaf.class_observers.find(entry.first);
        if (obs == leaf.class_observers.end()) {
            leaf.layout_table.push_back(nullptr);
        } else {
            FeatureEstimators& table = obs->second;
            leaf.layout_table.push_back(&table);
            for (std::size_t i = 0; i < n_features; ++i) {
                auto e = find_name(table, layout.names[i]);
                if (e != table.end()) at[i] = &e->second;
            }
        }
        at += n_features;
    }
    leaf.layout = layout.id;
    leaf.layout_tables = leaf.class_observers.size();
}

// Scores the record held by `layout`; with `capture`, class y's estimators are
// returned in `captured`.
NbArgmax nb_log_best(ClassifierNode& leaf, const KeyLayout& layout, ClassLabel y = 0,
                     bool capture = false) {
    NbArgmax result;
    if (leaf.weight <= 0.0 || leaf.class_counts.empty()) return result;
    bind_layout(leaf, layout);
    result.scored = true;
    const double* values = layout.values.data();
    const std::size_t n_features = layout.values.size();
    FeatureEstimators* const* table = leaf.layout_table.data();
    GaussianEstimator** at = leaf.by_layout.data();
    double best = -kInf;
    for (const auto& [c, n] : leaf.class_counts) {
        double s = std::log(n / leaf.weight);
        if (*table != nullptr) {
            if (capture && c == y) result.captured = {*table, at};
            for (std::size_t i = 0; i < n_features; ++i) {
                if (at[i] == nullptr) continue;
                const double q = at[i]->pdf(values[i]);
                s += q > kDensityFloor ? std::log(q) : kLogDensityFloor;
            }
        }
        ++table;
        at += n_features;
        if (s > best) {
            best = s;
            result.found = true;
            result.label = c;
        }
    }
    return result;
}

// Class weights as a sequence of values: a map in its iteration order, or one
// side of a candidate split (below).
struct MapWeights {
    const ClassWeights& m;
    template <typename F>
    void each(F f) const {
        for (const auto& entry : m) f(entry.second);
    }
};

// values[order[0]], values[order[1]], ...: the iteration order the same weights
// have as a ClassWeights.
struct SideWeights {
    const double* values;
    const std::uint32_t* order;
    std::size_t n;
    template <typename F>
    void each(F f) const {
        for (std::size_t t = 0; t < n; ++t) f(values[order[t]]);
    }
};

// Entropy in bits of class weights with total W.
template <typename W>
double entropy(const W& m, double w) {
    if (w <= 0.0) return 0.0;
    double sum = 0.0;
    m.each([&](double v) {
        if (v > 0.0) {
            const double p = v / w;
            sum += p * std::log2(p);
        }
    });
    return -sum;
}

template <typename W>
double gini_impurity(const W& m, double w) {
    double sum = 0.0;
    m.each([&](double v) {
        const double p = v / w;
        sum += p * p;
    });
    return 1.0 - sum;
}

template <typename W>
double sum_values(const W& m) {
    double sum = 0.0;
    m.each([&](double v) { sum += v; });
    return sum;
}

// Merit of a two-way split (left, right) of a distribution whose entropy
// pre_entropy() gives.
template <typename W, typename PreEntropy>
double split_merit(bool gini, PreEntropy&& pre_entropy, const W& left, const W& right) {
    const double wl = sum_values(left);
    const double wr = sum_values(right);
    const double total = wl + wr;
    if (gini) {
        if (total <= 0.0) return 0.0;
        double impurity = 0.0;
        // Only an empty (w <= 0) branch is skipped; a NaN weight keeps the merit NaN.
        if (!(wl <= 0.0)) impurity += (wl / total) * gini_impurity(left, wl);
        if (!(wr <= 0.0)) impurity += (wr / total) * gini_impurity(right, wr);
        return 1.0 - impurity;
    }
    if (total <= 0.0) return -kInf;
    int sizeable = 0;
    if (wl / total > 0.01) ++sizeable;
    if (wr / total > 0.01) ++sizeable;
    if (sizeable < 2) return -kInf;
    double weighted = 0.0;
    weighted += wl * entropy(left, wl);
    weighted += wr * entropy(right, wr);
    return pre_entropy() - weighted / total;
}

// Iteration orders of fresh ClassWeights filled with a subset of `labels()`,
// inserted in label order. A subset is given by flags over the positions in
// labels() and, when there are at most 64 labels, by the same set as a bit mask;
// orders are then remembered per mask.
class InsertionOrders {
public:
    struct Span {
        std::size_t offset;
        std::size_t n;
    };

    const std::vector<ClassLabel>& labels() const { return labels_; }
    // Starts over with other labels.
    void assign(std::vector<ClassLabel> labels) {
        labels_ = std::move(labels);
        entries_.clear();
        orders_.clear();
    }
    // Call before the orders of one point: forgets them when they are not remembered.
    void begin_point() {
        if (labels_.size() > 64) orders_.clear();
    }
    // Positions in labels() of the subset's labels, in the map's iteration order.
    Span order(const std::vector<unsigned char>& in, std::uint64_t mask) {
        const bool memo = labels_.size() <= 64;
        if (memo) {
            for (const Entry& e : entries_) {
                if (e.mask == mask) return e.span;
            }
        }
        ClassWeights m;
        for (std::size_t j = 0; j < labels_.size(); ++j) {
            if (in[j]) m[labels_[j]] = static_cast<double>(j);
        }
        const Span span{orders_.size(), m.size()};
        for (const auto& entry : m) orders_.push_back(static_cast<std::uint32_t>(entry.second));
        if (memo) entries_.push_back({mask, span});
        return span;
    }
    const std::uint32_t* data(Span span) const { return orders_.data() + span.offset; }

private:
    struct Entry {
        std::uint64_t mask;
        Span span;
    };
    std::vector<ClassLabel> labels_;
    std::vector<Entry> entries_;
    std::vector<std::uint32_t> orders_;
};

// Copies the positive entries of `counts` into a fresh leaf.
std::unique_ptr<ClassifierNode> child_leaf(const ClassWeights& counts) {
    auto leaf = std::make_unique<ClassifierNode>();
    for (const auto& [c, v] : counts) {
        if (v > 0.0) {
            leaf->class_counts[c] = v;
            leaf->weight += v;
        }
    }
    return leaf;
}

}  // namespace

namespace {

// Layout ids are unique across all layouts (1 is the empty layout every KeyLayout
// starts with), so a tree may change the layout it reads without stale positions
// being taken as valid.
std::uint64_t next_layout_id() {
    static std::atomic<std::uint64_t> next{2};
    return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void KeyLayout::read(const FeatureMap& x) {
    if (x.size() == names.size()) {
        std::size_t i = 0;
        for (const auto& [name, v] : x) {
            if (!same_name(names[i], name)) break;
            values[i++] = v;
        }
        if (i == names.size()) return;
    }
    // A new id first: a fill cut short by an allocation failure is never taken
    // for a layout that positions were cached under.
    id = next_layout_id();
    names.clear();
    values.clear();
    for (const auto& [name, v] : x) {
        names.push_back(name);
        values.push_back(v);
    }
}

HoeffdingTreeClassifier::HoeffdingTreeClassifier()
    : HoeffdingTreeClassifier(200, 0, 20, "info_gain", 1e-07, 0.05) {}

HoeffdingTreeClassifier::HoeffdingTreeClassifier(std::int32_t grace_period,
                                                 std::int32_t nb_threshold,
                                                 std::int32_t max_depth,
                                                 std::string split_criterion,
                                                 double split_confidence, double tie_threshold)
    : grace_period_(grace_period),
      split_confidence_(split_confidence),
      tie_threshold_(tie_threshold),
      nb_threshold_(nb_threshold),
      max_depth_(max_depth),
      split_criterion_(std::move(split_criterion)),
      rng_(0u),
      root_(std::make_unique<ClassifierNode>()),
      layout_(std::make_shared<KeyLayout>()) {
    require_at_least<std::int32_t>("grace_period", grace_period, 1);
}

void HoeffdingTreeClassifier::set_grace_period(std::int32_t value) {
    require_at_least<std::int32_t>("grace_period", value, 1);
    grace_period_ = value;
}

void HoeffdingTreeClassifier::set_n_split_points(std::int32_t value) {
    require_at_most<std::int32_t>("n_split_points", value, kMaxSplitPoints);
    n_split_points_ = value;
}

ClassifierNode* HoeffdingTreeClassifier::route(std::int32_t& depth) {
    constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);
    ClassifierNode* node = root_.get();
    depth = 0;
    while (!node->is_leaf) {
        if (node->split_layout != layout_->id) {
            // The record's (unique) entry for the split feature, as a position.
            node->split_position = kAbsent;
            for (std::size_t i = 0; i < layout_->names.size(); ++i) {
                if (same_name(layout_->names[i], node->split_feature)) {
                    node->split_position = i;
                    break;
                }
            }
            node->split_layout = layout_->id;
        }
        const double value =
            node->split_position == kAbsent ? 0.0 : layout_->values[node->split_position];
        node = value <= node->threshold ? node->left.get() : node->right.get();
        ++depth;
    }
    return node;
}

void HoeffdingTreeClassifier::note_class(ClassLabel y) {
    for (const ClassLabel c : seen_first_) {
        if (c == y) return;
    }
    constexpr std::size_t kFirst = 8;
    if (seen_classes_.insert(y).second && seen_first_.size() < kFirst) seen_first_.push_back(y);
}

bool HoeffdingTreeClassifier::predicts_by_nb(const ClassifierNode& leaf) const {
    if (leaf_mc_) return false;
    if (static_cast<double>(nb_threshold_) > leaf.weight) return false;
    if (!leaf_nb_ && !(leaf.nb_correct > leaf.mc_correct)) return false;
    return true;
}

void HoeffdingTreeClassifier::share_layout(std::shared_ptr<KeyLayout> layout) {
    layout_ = std::move(layout);
}

void HoeffdingTreeClassifier::learn_one(const FeatureMap& x, ClassLabel y) {
    layout_->read(x);
    learn_read(x, y);
}

ClassLabel HoeffdingTreeClassifier::predict_then_learn_one(const FeatureMap& x, ClassLabel y) {
    layout_->read(x);
    return predict_then_learn_read(x, y);
}

void HoeffdingTreeClassifier::learn_read(const FeatureMap& x, ClassLabel y) {
    note_class(y);
    std::int32_t depth = 0;
    ClassifierNode& leaf = *route(depth);

    LayoutEstimators captured;
    if (!leaf_mc_ && leaf.weight > 0.0) {
        if (majority_label(leaf) == y) leaf.mc_correct += 1.0;
        const NbArgmax nb = nb_log_best(leaf, *layout_, y, true);
        if (nb.scored && (nb.found ? nb.label : 0) == y) leaf.nb_correct += 1.0;
        captured = nb.captured;
    }
    absorb(leaf, depth, x, y, captured);
}

ClassLabel HoeffdingTreeClassifier::predict_then_learn_read(const FeatureMap& x, ClassLabel y) {
    // Nothing below changes the leaf before both uses of the majority label and
    // the naive Bayes argmax, so each is computed once for prediction and learning.
    std::int32_t depth = 0;
    ClassifierNode& leaf = *route(depth);
    const bool track = !leaf_mc_ && leaf.weight > 0.0;
    const bool by_nb = predicts_by_nb(leaf);
    const ClassLabel majority = majority_label(leaf);
    NbArgmax nb;
    if (track || by_nb) nb = nb_log_best(leaf, *layout_, y, true);
    const ClassLabel predicted = by_nb && nb.found ? nb.label : majority;

    note_class(y);
    if (track) {
        if (majority == y) leaf.mc_correct += 1.0;
        if (nb.scored && (nb.found ? nb.label : 0) == y) leaf.nb_correct += 1.0;
    }
    absorb(leaf, depth, x, y, nb.captured);
    return predicted;
}

void HoeffdingTreeClassifier::absorb(ClassifierNode& leaf, std::int32_t depth,
                                     const FeatureMap& x, ClassLabel y,
                                     LayoutEstimators captured) {
    leaf.class_counts[y] += 1.0;
    leaf.weight += 1.0;

    if (!x.empty()) {
        if (captured.table != nullptr) {
            // Estimators found by the scoring pass; inserting the absent ones in x's
            // order moves none of them, and keeps leaf.by_layout valid.
            FeatureEstimators& observers = *captured.table;
            const std::size_t n_features = layout_->values.size();
            for (std::size_t i = 0; i < n_features; ++i) {
                GaussianEstimator*& e = captured.at[i];
                if (e == nullptr) e = &observers[layout_->names[i]];
                e->update(layout_->values[i]);
            }
        } else {
            FeatureEstimators& observers = leaf.class_observers[y];
            for (const auto& [name, value] : x) observers[name].update(value);
            leaf.layout = 0;  // a table may have gained keys
        }
    }

    if (due(static_cast<std::int64_t>(leaf.weight), grace_period_)) attempt_split(leaf, depth);
}

void HoeffdingTreeClassifier::attempt_split(ClassifierNode& leaf, std::int32_t depth) {
    if (depth >= max_depth_ || leaf.weight < 2.0 || seen_classes_.size() < 2) return;

    std::vector<std::string> features;
    for (const auto& [c, table] : leaf.class_observers) {
        for (const auto& [name, e] : table) features.push_back(name);
    }
    if (features.empty()) return;
    std::sort(features.begin(), features.end());
    features.erase(std::unique(features.begin(), features.end()), features.end());

    const bool gini = split_criterion_ == "gini";
    const double range = gini ? 1.0 : std::log2(static_cast<double>(seen_classes_.size()));
    const double epsilon = std::sqrt(range * range * std::log(1.0 / split_confidence_) /
                                     (2.0 * leaf.weight));

    std::vector<SplitCandidate> candidates;
    {
        SplitCandidate null_candidate;
        null_candidate.is_null = true;
        if (gini) {
            double sum = 0.0;
            for (const auto& [c, n] : leaf.class_counts) {
                const double p = n / leaf.weight;
                sum += p * p;
            }
            null_candidate.merit = 1.0 - (1.0 - sum);
        } else {
            null_candidate.merit = -kInf;
        }
        candidates.push_back(std::move(null_candidate));
    }

    if (max_split_features_ > 0 &&
        static_cast<std::size_t>(max_split_features_) < features.size()) {
        shuffle_in_place(features, rng_);
        features.resize(static_cast<std::size_t>(max_split_features_));
    }

    // Entropy of the leaf's distribution, computed once when first needed.
    double pre_entropy = 0.0;
    bool have_pre_entropy = false;
    auto leaf_entropy = [&]() {
        if (!have_pre_entropy) {
            pre_entropy = entropy(MapWeights{leaf.class_counts}, leaf.weight);
            have_pre_entropy = true;
        }
        return pre_entropy;
    };

    std::vector<double> points;
    // Per feature: the classes with a non-empty estimator for it, in observer order.
    std::vector<std::pair<ClassLabel, const GaussianEstimator*>> observed;
    InsertionOrders orders;
    std::vector<ClassLabel> labels;
    // Per point and observed class: the weights each side would hold (as in a
    // ClassWeights, 0.0 plus the amount) and whether the side holds the class.
    std::vector<double> left_w, right_w, best_left_w, best_right_w;
    std::vector<unsigned char> in_left, in_right, best_in_left, best_in_right;
    for (const std::string& f : features) {
        observed.clear();
        for (const auto& [c, table] : leaf.class_observers) {
            auto it = table.find(f);
            if (it == table.end() || !(it->second.weight > 0.0)) continue;
            observed.emplace_back(c, &it->second);
        }
        double lo = kInf;
        double hi = -kInf;
        for (const auto& [c, e] : observed) {
            lo = std::min(lo, e->min);
            hi = std::max(hi, e->max);
        }
        if (!(lo < hi)) continue;

        const double step = (hi - lo) / (static_cast<double>(n_split_points_) + 1.0);
        points.clear();
        for (std::int64_t i = 1; i <= n_split_points_; ++i) {  // no overflow at INT32_MAX
            const double p = std::fma(static_cast<double>(i), step, lo);
            if (lo < p && p < hi && (points.empty() || p > points.back())) points.push_back(p);
        }
        if (points.empty()) continue;

        const std::size_t k = observed.size();
        labels.clear();
        for (const auto& entry : observed) labels.push_back(entry.first);
        if (labels != orders.labels()) orders.assign(labels);
        left_w.assign(k, 0.0);
        right_w.assign(k, 0.0);
        in_left.assign(k, 0);
        in_right.assign(k, 0);

        SplitCandidate best;
        best.feature = f;
        best.merit = -kInf;
        bool improved = false;
        for (const double p : points) {
            std::uint64_t left_mask = 0;
            std::uint64_t right_mask = 0;
            for (std::size_t j = 0; j < k; ++j) {
                const GaussianEstimator& e = *observed[j].second;
                const std::uint64_t bit = j < 64 ? std::uint64_t{1} << j : 0;
                in_left[j] = 0;
                in_right[j] = 0;
                if (p < e.min) {
                    right_w[j] = 0.0 + e.weight;
                    in_right[j] = 1;
                    right_mask |= bit;
                } else if (p >= e.max) {
                    left_w[j] = 0.0 + e.weight;
                    in_left[j] = 1;
                    left_mask |= bit;
                } else {
                    const double eq = e.pdf(p) * e.weight;
                    const double sd = e.std_dev();
                    double less;
                    double greater;
                    if (sd > 0.0) {
                        const double phi = (std::erf((p - e.mean) / (sd * kSqrt2)) + 1.0) * 0.5;
                        less = std::fma(phi, e.weight, -eq);
                        greater = (e.weight - eq) - less;
                    } else if (p < e.mean) {
                        less = e.weight - eq;
                        greater = 0.0;
                    } else {
                        less = 0.0;
                        greater = e.weight - eq;
                    }
                    greater = std::max(0.0, greater);
                    left_w[j] = 0.0 + (eq + less);
                    right_w[j] = 0.0 + greater;
                    in_left[j] = 1;
                    in_right[j] = 1;
                    left_mask |= bit;
                    right_mask |= bit;
                }
            }
            orders.begin_point();
            const InsertionOrders::Span left_span = orders.order(in_left, left_mask);
            const InsertionOrders::Span right_span = orders.order(in_right, right_mask);
            const SideWeights left{left_w.data(), orders.data(left_span), left_span.n};
            const SideWeights right{right_w.data(), orders.data(right_span), right_span.n};
            const double merit = split_merit(gini, leaf_entropy, left, right);
            if (merit > best.merit) {
                best.threshold = p;
                best.merit = merit;
                best_left_w = left_w;
                best_right_w = right_w;
                best_in_left = in_left;
                best_in_right = in_right;
                improved = true;
            }
        }
        if (improved) {
            // The class weights of the best point, inserted as they were computed.
            for (std::size_t j = 0; j < k; ++j) {
                if (best_in_left[j]) best.left_counts[labels[j]] = best_left_w[j];
                if (best_in_right[j]) best.right_counts[labels[j]] = best_right_w[j];
            }
        }
        candidates.push_back(std::move(best));
    }

    std::size_t best_index = 0;
    for (std::size_t i = 1; i < candidates.size(); ++i) {
        if (candidates[i].merit > candidates[best_index].merit) best_index = i;
    }
    double second = -kInf;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (i != best_index && candidates[i].merit > second) second = candidates[i].merit;
    }
    SplitCandidate& best = candidates[best_index];
    if (best.merit == -kInf) return;
    if (candidates.size() > 1 && best.merit - second <= epsilon && tie_threshold_ <= epsilon) {
        return;
    }
    if (best.is_null) return;

    leaf.is_leaf = false;
    leaf.split_feature = best.feature;
    leaf.threshold = best.threshold;
    leaf.left = child_leaf(best.left_counts);
    leaf.right = child_leaf(best.right_counts);
    // Release the leaf statistics; an internal node never reads them again.
    std::unordered_map<ClassLabel, FeatureEstimators>().swap(leaf.class_observers);
    std::vector<FeatureEstimators*>().swap(leaf.layout_table);
    std::vector<GaussianEstimator*>().swap(leaf.by_layout);
    ClassWeights().swap(leaf.class_counts);
    leaf.weight = 0.0;
}

ProbabilityMap HoeffdingTreeClassifier::predict_proba_one(const FeatureMap& x) {
    layout_->read(x);
    std::int32_t depth = 0;
    ClassifierNode& leaf = *route(depth);
    ProbabilityMap result;
    if (leaf.weight <= 0.0) {
        const double share = 1.0 / static_cast<double>(seen_classes_.size());
        for (const ClassLabel c : seen_classes_) result[c] = share;
        return result;
    }
    if (!predicts_by_nb(leaf)) {
        for (const auto& [c, n] : leaf.class_counts) result[c] = n / leaf.weight;
    } else {
        bind_layout(leaf, *layout_);
        const double* values = layout_->values.data();
        const std::size_t n_features = layout_->values.size();
        FeatureEstimators* const* table = leaf.layout_table.data();
        GaussianEstimator* const* at = leaf.by_layout.data();
        double sum = 0.0;
        for (const auto& [c, n] : leaf.class_counts) {
            double s = n / leaf.weight;
            if (*table != nullptr) {
                for (std::size_t i = 0; i < n_features; ++i) {
                    if (at[i] == nullptr) continue;
                    const double q = at[i]->pdf(values[i]);
                    s = q > kDensityFloor ? s * q : s * kDensityFloor;
                }
            }
            ++table;
            at += n_features;
            result[c] = s;
            sum += s;
        }
        if (sum > 0.0) {
            for (auto& entry : result) entry.second /= sum;
        }
    }
    for (const ClassLabel c : seen_classes_) {
        result.try_emplace(c, 0.0);
    }
    return result;
}

ClassLabel HoeffdingTreeClassifier::predict_one(const FeatureMap& x) {
    layout_->read(x);
    std::int32_t depth = 0;
    ClassifierNode& leaf = *route(depth);
    if (predicts_by_nb(leaf)) {
        const NbArgmax nb = nb_log_best(leaf, *layout_);
        if (nb.found) return nb.label;
    }
    return majority_label(leaf);
}

void HoeffdingTreeClassifier::reset() {
    root_ = std::make_unique<ClassifierNode>();
    seen_classes_.clear();
    seen_first_.clear();
}

}  // namespace kavro
