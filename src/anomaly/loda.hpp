// Lightweight on-line detector of anomalies (Pevny, "Loda: Lightweight on-line detector of
// anomalies", Machine Learning 102, 2016).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "anomaly/common.hpp"
#include "core/interfaces.hpp"

namespace kavro {

// n_projections sparse random projections (each with ceil(sqrt(d)) non-zero N(0, 1) weights on
// distinct features), each summarised by an equal-width histogram. Histograms are built from
// consecutive blocks of window_size records: the histograms of the last complete block score
// while the next block fills (the paper's two alternating sets). Score: the mean over
// projections of -log p, with p = (count + 1) / ((window_size + bins) * width) of the bin the
// projected record falls in (count 0 outside the range); 0 before the first block completes.
// n_bins 0 ("auto") picks, per projection and block, the bin count of Birge & Rozenholc ("How
// many bins should be put in a regular histogram", ESAIM P&S 10, 2006).
class LODA : public IAnomalyDetector {
public:
    struct Projection {
        std::vector<std::int32_t> dims;
        std::vector<double> weights;
        double low = 0.0;    // histogram range start
        double width = 1.0;  // bin width
        std::vector<std::int32_t> counts;  // empty until the first block completes
        template <class Ar>
        void visit(Ar& ar) {
            ar("dims", dims);
            ar("weights", weights);
            ar("low", low);
            ar("width", width);
            ar("counts", counts);
        }
    };

    template <class Ar>
    void visit(Ar& ar);

    // n_bins: 0 for automatic, else at least 1. Throws std::invalid_argument for n_projections
    // or window_size below 1 and n_bins below 0.
    LODA(int n_projections = 100, int window_size = 256, int n_bins = 0,
         std::optional<std::uint32_t> seed = std::nullopt);

    void learn_one(const FeatureMap& x) override;
    double score_one(const FeatureMap& x) const override;
    void reset() override;

    int n_projections() const { return n_projections_; }
    int window_size() const { return window_size_; }
    int n_bins() const { return n_bins_; }
    std::optional<std::uint32_t> seed() const {
        return has_seed_ ? std::optional<std::uint32_t>(seed_) : std::nullopt;
    }

private:
    double project(const Projection& p, const std::vector<double>& v) const;
    void rebuild();

    int n_projections_;
    int window_size_;
    int n_bins_;
    bool has_seed_;
    std::uint32_t seed_;
    Rng rng_;
    anomaly::FeatureSpace space_;
    std::vector<Projection> projections_;
    std::vector<double> block_;  // projected records of the block filling, record-major
    std::int64_t block_n_ = 0;
};

}  // namespace kavro
