// Distance to the k-th nearest neighbour in a sliding window (Ramaswamy, Rastogi & Shim,
// "Efficient algorithms for mining outliers from large data sets", SIGMOD 2000), online.
#pragma once

#include <cstdint>
#include <vector>

#include "anomaly/common.hpp"
#include "core/interfaces.hpp"

namespace kavro {

// Score: the Euclidean distance from x to its k-th nearest record among the last window_size
// records learnt (to the farthest while fewer than k are held; 0 while none is).
class KNNDistance : public IAnomalyDetector {
public:
    template <class Ar>
    void visit(Ar& ar);

    // Throws std::invalid_argument for k or window_size below 1.
    KNNDistance(int k = 10, int window_size = 1000);

    void learn_one(const FeatureMap& x) override;
    double score_one(const FeatureMap& x) const override;
    void reset() override;

    int k() const { return k_; }
    int window_size() const { return window_size_; }
    std::int64_t n_held() const { return count_; }

private:
    int k_;
    int window_size_;
    anomaly::FeatureSpace space_;
    std::vector<double> points_;  // ring of up to window_size records, record-major
    std::int64_t count_ = 0;      // records held
    std::int64_t next_ = 0;       // ring slot the next record takes
};

}  // namespace kavro
