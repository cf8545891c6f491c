// Streaming gradient boosting over stages of model trees trained on Newton steps.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/interfaces.hpp"
#include "core/random.hpp"
#include "tree/fimtdd_regressor.hpp"

namespace kavro {

namespace ensemble {

struct BoosterConfig {
    int n_models = 1;
    int percentage_of_features = 75;
    int multiply_hessian_by = 1;
    int skip_training = 1;
    int bag_size = 1;
    double learning_rate = 1.0;
    bool use_squared_loss = true;
    int grace_period = 50;
    int max_depth = 20;
    double split_confidence = 0.01;
    std::string leaf_prediction = "mean";
    std::uint32_t seed = 1;
};

// Logistic function, evaluated on the side that cannot overflow.
double sigmoid(double f);

// A fixed sequence of stages, each holding bag_size model trees restricted to a
// random share of the features (fixed on the first trained example).
// Stages are sequential by nature: a stage's target is the residual left by the
// stages before it once they have learnt the example, and the skip and bag draws
// interleave with the training in one generator; so unlike the forests and bagging
// ensembles, boosters never train their stages on separate threads.
class Booster {
public:
    explicit Booster(const BoosterConfig& config);

    void train(const FeatureMap& x, double target);
    // Sum of the stages' mean tree outputs, times learning_rate when `scale`.
    double predict(const FeatureMap& x, bool scale);
    bool initialised() const { return initialised_; }
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

private:
    bool skip_draw();
    void initialise(const FeatureMap& x);

    BoosterConfig config_;
    bool initialised_ = false;
    std::vector<std::vector<std::string>> stage_features_;
    std::vector<std::vector<std::unique_ptr<FIMTDDRegressor>>> stage_trees_;
    Rng rng_;
};

}  // namespace ensemble

class SGBTClassifier : public IClassifier {
public:
    SGBTClassifier(int n_models = 100, double learning_rate = 0.0125,
                   int percentage_of_features = 75, int multiply_hessian_by = 1,
                   int skip_training = 1, bool use_squared_loss = false, int bag_size = 1,
                   int n_classes = 0, bool scale_prediction_by_lr = false, int grace_period = 25,
                   double split_confidence = 0.05, int max_depth = 20,
                   std::string leaf_prediction = "mean", int seed = 1);

    void learn_one(const FeatureMap& x, ClassLabel y) override;
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    int n_models() const { return n_models_; }
    void set_n_models(int value) { n_models_ = value; }  // reaches boosters created later
    int n_classes() const { return n_classes_; }
    void set_n_classes(int value) { n_classes_ = value; }
    int seed() const { return seed_; }
    void set_seed(int value) { seed_ = value; }  // reaches boosters created later
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

private:
    ensemble::BoosterConfig booster_config() const;

    int n_models_;
    double learning_rate_;
    int percentage_of_features_;
    int multiply_hessian_by_;
    int skip_training_;
    bool use_squared_loss_;
    int bag_size_;
    int n_classes_;
    bool scale_prediction_by_lr_;
    int seed_;
    int grace_period_;
    int max_depth_;
    double split_confidence_;
    std::string leaf_prediction_;
    std::vector<ClassLabel> classes_;
    std::vector<std::unique_ptr<ensemble::Booster>> boosters_;
};

class SGBRRegressor : public IRegressor {
public:
    SGBRRegressor(int n_models = 10, double learning_rate = 1.0, int percentage_of_features = 75,
                  int multiply_hessian_by = 1, int skip_training = 1, int bag_size = 10,
                  int grace_period = 50, double split_confidence = 0.01, int max_depth = 20,
                  std::string leaf_prediction = "mean", int seed = 1);

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    void reset() override;

    int n_models() const { return n_models_; }
    void set_n_models(int value) { n_models_ = value; }  // reaches a booster created later
    int seed() const { return seed_; }
    void set_seed(int value) { seed_ = value; }  // reaches a booster created later
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

private:
    int n_models_;
    double learning_rate_;
    int percentage_of_features_;
    int multiply_hessian_by_;
    int skip_training_;
    int bag_size_;
    int seed_;
    int grace_period_;
    int max_depth_;
    double split_confidence_;
    std::string leaf_prediction_;
    std::unique_ptr<ensemble::Booster> booster_;
};

}  // namespace kavro
