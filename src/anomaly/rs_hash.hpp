// Randomized subspace hashing (Sathe & Aggarwal, "Subspace outlier detection in linear time with
// randomized hashing", ICDM 2016), over a sliding window.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "anomaly/common.hpp"
#include "core/interfaces.hpp"

namespace kavro {

// n_components randomised grids: each draws a cell width f uniformly in [1/sqrt(s), 1 - 1/sqrt(s)]
// (s = sample_size), a subspace of r features (r uniform in [1 + log_b(s) / 2, log_b(s)], b =
// max(2, 1/f), at most the features present) and shifts alpha_j uniform in [0, f]. A record,
// scaled per feature to [0, 1] by the running minimum and maximum learnt, falls in the cell
// floor((x_j + alpha_j) / f) over the subspace; a count-min sketch of n_hashes rows counts the
// cells of the last sample_size records learnt. Score: minus the mean over components of
// log2(1 + the cell's count); higher is more anomalous.
class RSHash : public IAnomalyDetector {
public:
    struct Component {
        double f = 1.0;
        std::vector<std::int32_t> dims;
        std::vector<double> alpha;
        std::vector<std::uint64_t> salts;  // one per hash row
        std::vector<std::int32_t> table;   // n_hashes rows of table_size counts
        template <class Ar>
        void visit(Ar& ar) {
            ar("f", f);
            ar("dims", dims);
            ar("alpha", alpha);
            ar("salts", salts);
            ar("table", table);
        }
    };

    template <class Ar>
    void visit(Ar& ar);

    // Throws std::invalid_argument for n_components, n_hashes below 1 or sample_size below 4.
    RSHash(int n_components = 300, int sample_size = 1000, int n_hashes = 4,
           std::optional<std::uint32_t> seed = std::nullopt);

    void learn_one(const FeatureMap& x) override;
    double score_one(const FeatureMap& x) const override;
    void reset() override;

    int n_components() const { return n_components_; }
    int sample_size() const { return sample_size_; }
    int n_hashes() const { return n_hashes_; }
    std::optional<std::uint32_t> seed() const {
        return has_seed_ ? std::optional<std::uint32_t>(seed_) : std::nullopt;
    }

private:
    std::uint64_t cell(const Component& c, const std::vector<double>& scaled) const;
    std::size_t slot(const Component& c, int row, std::uint64_t key) const;
    void scale(const FeatureMap& x, std::vector<double>& out) const;

    int n_components_;
    int sample_size_;
    int n_hashes_;
    bool has_seed_;
    std::uint32_t seed_;
    std::size_t table_size_;
    Rng rng_;
    anomaly::FeatureSpace space_;
    std::vector<double> min_, max_;  // running range per feature
    std::vector<Component> components_;
    std::deque<std::vector<std::uint64_t>> window_;  // cell keys of each record, per component
};

}  // namespace kavro
