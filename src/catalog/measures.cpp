#include "catalog/measures.hpp"

#include <string>

#include "bindings/checked_types.hpp"
#include "metrics/metric_adapters.hpp"

namespace kavro::catalog {

namespace py = pybind11;

namespace {

template <class M, class Adapter, class Out>
bool wrap(py::handle h, Out& out) {
    if (!py::isinstance<M>(h)) return false;
    out = std::make_shared<Adapter>(h.cast<std::shared_ptr<M>>());
    return true;
}

}  // namespace

Measure measure_of(py::handle h, const char* what) {
    Measure m;
    if (py::isinstance<IClassificationMetric>(h)) {
        m.labels = h.cast<std::shared_ptr<IClassificationMetric>>();
    } else if (py::isinstance<IRegressionMetric>(h)) {
        m.values = h.cast<std::shared_ptr<IRegressionMetric>>();
    } else if (!(wrap<Accuracy, CoreLabelMetric<Accuracy>>(h, m.labels) ||
                 wrap<MacroPrecision, CoreLabelMetric<MacroPrecision>>(h, m.labels) ||
                 wrap<MacroRecall, CoreLabelMetric<MacroRecall>>(h, m.labels) ||
                 wrap<MacroF1, CoreLabelMetric<MacroF1>>(h, m.labels) ||
                 wrap<WindowMetric, CoreWindowMetric>(h, m.labels) ||
                 wrap<MAE, CoreValueMetric<MAE>>(h, m.values) ||
                 wrap<RMSE, CoreValueMetric<RMSE>>(h, m.values) ||
                 wrap<R2, CoreValueMetric<R2>>(h, m.values) ||
                 wrap<WindowRegressionMetric, CoreValueMetric<WindowRegressionMetric>>(h, m.values))) {
        throw py::type_error(std::string(what) + ": " +
                             std::string(py::str(py::type::handle_of(h).attr("__name__"))) +
                             " is not a measure");
    }
    return m;
}

}  // namespace kavro::catalog
