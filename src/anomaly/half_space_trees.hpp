// Streaming half-space trees (Tan, Ting & Liu, "Fast anomaly detection for streaming data",
// IJCAI 2011).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "anomaly/common.hpp"
#include "core/interfaces.hpp"

namespace kavro {

// Random binary trees over the workspace; each node counts the records of the latest window
// (mass l) and keeps the count of the window before (reference mass r), which scores. Nodes are
// made when a record first reaches them. Score: 1 - sum over trees of r * 2^depth at the first
// node on the path whose r is below 0.1 * window_size (or at the maximum depth), divided by its
// largest value n_trees * window_size * 2^height; higher is more anomalous.
class HalfSpaceTrees : public IAnomalyDetector {
public:
    using Limits = std::map<std::string, std::pair<double, double>>;

    struct Node {
        double split = 0.0;
        std::int32_t child = -1;  // left child; the right one follows it (-1: none yet)
        std::int32_t dim = -1;    // -1 at the maximum depth
        std::int64_t epoch = -1;  // window index of `mass`
        std::int32_t mass = 0;    // records of window `epoch`
        std::int32_t prev = 0;    // records of window `epoch - 1`
        template <class Ar>
        void visit(Ar& ar) {
            ar("split", split);
            ar("child", child);
            ar("dim", dim);
            ar("epoch", epoch);
            ar("mass", mass);
            ar("prev", prev);
        }
    };
    struct Tree {
        std::vector<double> low, high;  // the tree's random workspace per feature
        std::vector<Node> nodes;        // nodes[0] is the root; children are made in pairs
        template <class Ar>
        void visit(Ar& ar) {
            ar("low", low);
            ar("high", high);
            ar("nodes", nodes);
        }
    };

    template <class Ar>
    void visit(Ar& ar);

    // Throws std::invalid_argument for n_trees, height or window_size below 1, a height above
    // 30, or a limit that is not finite with low < high.
    HalfSpaceTrees(int n_trees = 25, int height = 15, int window_size = 250, Limits limits = {},
                   std::optional<std::uint32_t> seed = std::nullopt);

    void learn_one(const FeatureMap& x) override;
    double score_one(const FeatureMap& x) const override;
    void reset() override;

    int n_trees() const { return n_trees_; }
    int height() const { return height_; }
    int window_size() const { return window_size_; }
    const Limits& limits() const { return limits_; }
    std::optional<std::uint32_t> seed() const {
        return has_seed_ ? std::optional<std::uint32_t>(seed_) : std::nullopt;
    }
    std::int64_t n_learnt() const { return n_; }
    std::size_t n_nodes() const;

private:
    void build(const double* x);
    Node make_node(const Tree& tree, int depth, const double* x, bool right);

    int n_trees_;
    int height_;
    int window_size_;
    Limits limits_;
    bool has_seed_;
    std::uint32_t seed_;
    Rng rng_;
    anomaly::FeatureSpace space_;
    std::vector<Tree> trees_;
    std::int64_t n_ = 0;
};

}  // namespace kavro
