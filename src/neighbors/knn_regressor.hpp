// k-nearest-neighbour regressor over a sliding window, inverse-distance weighted mean.
#pragma once

#include <cstdint>

#include "core/interfaces.hpp"
#include "neighbors/knn_core.hpp"

namespace kavro {

class KNNRegressor : public IRegressor {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    // n_neighbors >= 0 and window_size != 0 (negative: unbounded), else std::invalid_argument.
    explicit KNNRegressor(std::int32_t n_neighbors = 5, std::int32_t window_size = 1000,
                          std::int32_t p = 2);

    // Stores (x, y), evicting the oldest sample when the window is full.
    void learn_one(const FeatureMap& x, double y) override;
    // Mean target of the k nearest weighted by 1/d (1e10 for d <= 1e-10); 0.0 when the
    // window is empty or n_neighbors is 0.
    double predict_one(const FeatureMap& x) override;
    void reset() override;

    std::int32_t get_n_neighbors() const { return core.get_n_neighbors(); }
    void set_n_neighbors(std::int32_t value) { core.set_n_neighbors(value); }
    std::int32_t get_p() const { return core.get_p(); }
    void set_p(std::int32_t value) { core.set_p(value); }

private:
    KNNCore<double> core;
};

}  // namespace kavro
