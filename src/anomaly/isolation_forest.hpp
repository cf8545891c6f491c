// Online isolation forest (Leveni, Weigert Cassales, Pfahringer, Bifet & Boracchi, "Online
// Isolation Forest", ICML 2024).
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "anomaly/common.hpp"
#include "core/interfaces.hpp"

namespace kavro {

// An ensemble of online isolation trees: multi-resolution histograms over a sliding window of
// window_size records. Each node counts the window's records that reach it (its height) and
// keeps their bounding box. A leaf at depth k splits once its height reaches max_leaf_samples *
// 2^k ("adaptive") or max_leaf_samples ("fixed"): as many points as its height are drawn
// uniformly in its box, a dimension with a positive width is drawn, a split value uniformly
// between the drawn points' extremes on it, and each child gets the drawn points of its side
// (their count and box). A record leaving the window is unlearnt along its path; a node whose
// height falls below its depth's threshold loses its children. Score: 2^(-E[h] / c(n)), with
// h = depth + c(leaf height) per tree and n the records in the window (0.5 while n < 2).
class OnlineIsolationForest : public IAnomalyDetector {
public:
    struct Node {
        std::int32_t left = -1;
        std::int32_t right = -1;
        std::int32_t dim = -1;
        double split = 0.0;
        std::int64_t height = 0;
        std::vector<double> low, high;  // bounding box (empty while no record reached it)
        template <class Ar>
        void visit(Ar& ar) {
            ar("left", left);
            ar("right", right);
            ar("dim", dim);
            ar("split", split);
            ar("height", height);
            ar("low", low);
            ar("high", high);
        }
    };
    struct Tree {
        std::vector<Node> nodes;          // nodes[0] is the root
        std::vector<std::int32_t> spare;  // slots of removed nodes, reused last first
        template <class Ar>
        void visit(Ar& ar) {
            ar("nodes", nodes);
            ar("spare", spare);
        }
    };
    struct Point {
        std::vector<double> values;
        std::vector<std::uint8_t> trees;  // 1 for the trees that learnt it (empty: all)
        template <class Ar>
        void visit(Ar& ar) {
            ar("values", values);
            ar("trees", trees);
        }
    };

    template <class Ar>
    void visit(Ar& ar);

    // Throws std::invalid_argument for n_trees, max_leaf_samples or window_size below 1, a
    // growth other than "adaptive" or "fixed", or a subsample outside (0, 1].
    OnlineIsolationForest(int n_trees = 32, int max_leaf_samples = 32,
                          const std::string& growth = "adaptive", double subsample = 1.0,
                          int window_size = 2048, std::optional<std::uint32_t> seed = std::nullopt);

    void learn_one(const FeatureMap& x) override;
    double score_one(const FeatureMap& x) const override;
    void reset() override;

    int n_trees() const { return n_trees_; }
    int max_leaf_samples() const { return max_leaf_samples_; }
    std::string growth() const { return adaptive_ ? "adaptive" : "fixed"; }
    double subsample() const { return subsample_; }
    int window_size() const { return window_size_; }
    std::optional<std::uint32_t> seed() const {
        return has_seed_ ? std::optional<std::uint32_t>(seed_) : std::nullopt;
    }
    std::size_t n_nodes() const;

private:
    double threshold(int depth) const;
    void learn_tree(Tree& tree, const std::vector<double>& v);
    void forget_tree(Tree& tree, const std::vector<double>& v);
    void split(Tree& tree, std::int32_t idx);
    std::int32_t new_node(Tree& tree);
    void drop_subtree(Tree& tree, std::int32_t idx);

    int n_trees_;
    int max_leaf_samples_;
    bool adaptive_;
    double subsample_;
    int window_size_;
    bool has_seed_;
    std::uint32_t seed_;
    int max_depth_;
    Rng rng_;
    anomaly::FeatureSpace space_;
    std::vector<Tree> trees_;
    std::deque<Point> window_;
};

}  // namespace kavro
