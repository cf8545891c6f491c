// The core's metrics behind the measure interfaces, so that the native loop, model selection
// and any other C++ caller update every measure the same way (one virtual call, no
// std::function). The adapter shares the metric object: updates are seen from Python.
#pragma once

#include <memory>

#include "core/interfaces.hpp"
#include "metrics/classification_metrics.hpp"
#include "metrics/regression_metrics.hpp"
#include "metrics/window_metrics.hpp"

namespace kavro {

template <class M>
class CoreLabelMetric final : public IClassificationMetric {
public:
    explicit CoreLabelMetric(std::shared_ptr<M> m) : m_(std::move(m)) {}
    void update(ClassLabel y_true, ClassLabel y_pred) override { m_->update(y_true, y_pred); }
    double get() const override { return m_->get(); }
    void reset() override { m_->reset(); }
    const std::shared_ptr<M>& metric() const { return m_; }

private:
    std::shared_ptr<M> m_;
};

// WindowMetric takes (predicted, actual).
class CoreWindowMetric final : public IClassificationMetric {
public:
    explicit CoreWindowMetric(std::shared_ptr<WindowMetric> m) : m_(std::move(m)) {}
    void update(ClassLabel y_true, ClassLabel y_pred) override { m_->update(y_pred, y_true); }
    double get() const override { return m_->get(); }
    void reset() override { m_->reset(); }
    const std::shared_ptr<WindowMetric>& metric() const { return m_; }

private:
    std::shared_ptr<WindowMetric> m_;
};

template <class M>
class CoreValueMetric final : public IRegressionMetric {
public:
    explicit CoreValueMetric(std::shared_ptr<M> m) : m_(std::move(m)) {}
    void update(double y_true, double y_pred) override { m_->update(y_true, y_pred); }
    double get() const override { return m_->get(); }
    void reset() override { m_->reset(); }
    const std::shared_ptr<M>& metric() const { return m_; }

private:
    std::shared_ptr<M> m_;
};

}  // namespace kavro
