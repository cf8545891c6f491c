#include "catalog/bind.hpp"
#include "metrics/label_measures.hpp"
#include "metrics/score_measures.hpp"
#include "state/archive.hpp"

#include <cmath>
#include <string>

namespace kavro {

namespace {

// Largest total a saved state may hold: far beyond any stream, with room for further updates.
constexpr std::int64_t kMaxCount = std::int64_t{1} << 60;

// sum += v, false when v is negative or the sum would pass kMaxCount.
bool add_count(std::int64_t& sum, std::int64_t v) {
    if (v < 0 || v > kMaxCount - sum) return false;
    sum += v;
    return true;
}

template <class Ar>
void require_unique(Ar& ar, const std::vector<ClassLabel>& labels, LabelIndex& index) {
    index.rebuild(labels);
    for (std::size_t i = 0; i < labels.size(); ++i) {
        ar.require(index.find(labels[i]) == static_cast<std::ptrdiff_t>(i), "a label is listed twice");
    }
}

}  // namespace

template <class Ar>
void LabelTallies::visit(Ar& ar) {
    ar("labels", labels_);
    ar("true_counts", true_counts_);
    ar("pred_counts", pred_counts_);
    ar("hits", hits_);
    ar("n", n_);
    if constexpr (Ar::mode == state::Mode::read) {
        const std::size_t k = labels_.size();
        ar.require(true_counts_.size() == k && pred_counts_.size() == k && hits_.size() == k,
                   "label and count tables disagree");
        require_unique(ar, labels_, index_);
        std::int64_t t = 0, p = 0;
        for (std::size_t i = 0; i < k; ++i) {
            ar.require(add_count(t, true_counts_[i]) && add_count(p, pred_counts_[i]),
                       "a label count is out of range");
            ar.require(true_counts_[i] > 0 || pred_counts_[i] > 0, "a label was never seen");
            ar.require(hits_[i] >= 0 && hits_[i] <= true_counts_[i] && hits_[i] <= pred_counts_[i],
                       "a count of correct predictions is out of range");
        }
        ar.require(t == n_ && p == n_, "label counts disagree with the total");
    }
}

template <class Ar>
void KappaM::visit(Ar& ar) {
    ar("n", n_);
    ar("hits", hits_);
    ar("majority_hits", majority_hits_);
    ar("labels", labels_);
    ar("counts", counts_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(labels_.size() == counts_.size(), "label and count tables disagree");
        require_unique(ar, labels_, index_);
        std::int64_t sum = 0;
        for (std::int64_t c : counts_) ar.require(c >= 1 && add_count(sum, c), "a label count is out of range");
        ar.require(sum == n_, "label counts disagree with the total");
        ar.require(hits_ >= 0 && hits_ <= n_ && majority_hits_ >= 0 && majority_hits_ <= n_,
                   "a count of correct predictions is out of range");
        rebuild_best();
    }
}

template <class Ar>
void KappaT::visit(Ar& ar) {
    ar("n", n_);
    ar("hits", hits_);
    ar("no_change_hits", no_change_hits_);
    ar("last", last_);
    state::require(ar, n_ >= 0 && n_ <= kMaxCount, "the count is out of range");
    state::require(ar, hits_ >= 0 && hits_ <= n_ && no_change_hits_ >= 0 && no_change_hits_ <= n_,
                   "a count of correct predictions is out of range");
}

template <class Ar>
void BinaryCounts::visit(Ar& ar) {
    ar("pos_label", pos_label_);
    ar("tp", tp_);
    ar("fp", fp_);
    ar("fn", fn_);
    if constexpr (Ar::mode == state::Mode::read) {
        std::int64_t sum = 0;
        ar.require(add_count(sum, tp_) && add_count(sum, fp_) && add_count(sum, fn_),
                   "a count is out of range");
    }
}

template <class Ar>
void ConfusionMatrix::visit(Ar& ar) {
    ar("labels", labels_);
    ar("counts", counts_);
    ar("n", n_);
    if constexpr (Ar::mode == state::Mode::read) {
        const std::size_t k = labels_.size();
        ar.require(counts_.size() == k, "the matrix and the labels disagree");
        require_unique(ar, labels_, index_);
        std::int64_t sum = 0;
        std::vector<bool> seen(k, false);
        for (std::size_t i = 0; i < k; ++i) {
            ar.require(counts_[i].size() == k, "the matrix is not square");
            for (std::size_t j = 0; j < k; ++j) {
                ar.require(add_count(sum, counts_[i][j]), "a count is out of range");
                if (counts_[i][j] > 0) seen[i] = seen[j] = true;
            }
        }
        ar.require(sum == n_, "the counts disagree with the total");
        for (bool s : seen) ar.require(s, "a label was never seen");
    }
}

template <class Ar>
void visit_score_counts(Ar& ar, ScoreCounts& c) {
    ScoreCounts::Table table;
    if constexpr (Ar::mode != state::Mode::read) table = c.table();
    ar("counts", table);
    if constexpr (Ar::mode == state::Mode::read) ar.require(c.assign(table), "a score count is out of range");
}

template <class Ar>
void ROCAUC::visit(Ar& ar) {
    ar("pos_label", pos_label_);
    visit_score_counts(ar, counts_);
}

template <class Ar>
void PRAUC::visit(Ar& ar) {
    ar("pos_label", pos_label_);
    visit_score_counts(ar, counts_);
}

template <class Ar>
void RollingROCAUC::visit(Ar& ar) {
    ar("window_size", window_size_);
    ar("pos_label", pos_label_);
    ar("window", window_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(window_size_ >= 1, "window_size must be at least 1");
        ar.require(static_cast<std::int64_t>(window_.size()) <= window_size_,
                   "the window holds more than window_size pairs");
        counts_.clear();
        for (const auto& [score, positive] : window_) {
            ar.require(!std::isnan(score), "a score is NaN");
            counts_.add(score, positive);
        }
    }
}

template <class Ar>
void LogLoss::visit(Ar& ar) {
    ar("sum", sum_);
    ar("n", n_);
    state::require(ar, n_ >= 0 && n_ <= kMaxCount && sum_ >= 0.0, "the running sum or count is out of range");
}

template <class Ar>
void MAPE::visit(Ar& ar) {
    ar("sum", sum_);
    ar("n", n_);
    state::require(ar, n_ >= 0 && n_ <= kMaxCount && sum_ >= 0.0, "the running sum or count is out of range");
}

template <class Ar>
void SMAPE::visit(Ar& ar) {
    ar("sum", sum_);
    ar("n", n_);
    state::require(ar, n_ >= 0 && n_ <= kMaxCount && sum_ >= 0.0, "the running sum or count is out of range");
}

// CohenKappa, BalancedAccuracy, GeometricMean and MCC save LabelTallies' state; Precision,
// Recall and F1 that of BinaryCounts.

}  // namespace kavro

KAVRO_STATE(CohenKappa)
KAVRO_STATE(KappaM)
KAVRO_STATE(KappaT)
KAVRO_STATE(BalancedAccuracy)
KAVRO_STATE(GeometricMean)
KAVRO_STATE(MCC)
KAVRO_STATE(F1)
KAVRO_STATE(Precision)
KAVRO_STATE(Recall)
KAVRO_STATE(ConfusionMatrix)
KAVRO_STATE(ROCAUC)
KAVRO_STATE(RollingROCAUC)
KAVRO_STATE(PRAUC)
KAVRO_STATE(LogLoss)
KAVRO_STATE(MAPE)
KAVRO_STATE(SMAPE)

namespace kavro::catalog {

namespace {

constexpr const char* kGetDoc = "The value so far; 0.0 before any update or when undefined.";

template <class T>
PyClass<T, IClassificationMetric> label_measure(py::module_& m, const char* name, const char* doc) {
    PyClass<T, IClassificationMetric> cls(m, name, doc);
    cls.def(
           "update", [](T& self, ClassLabel y_true, ClassLabel y_pred) { self.update(y_true, y_pred); },
           py::arg("y_true"), py::arg("y_pred"), "Score one predicted label.")
        .def("get", [](const T& self) { return self.get(); }, kGetDoc)
        .def("reset", [](T& self) { self.reset(); }, "Forget every update.");
    return cls;
}

template <class T>
void def_binary(PyClass<T, IClassificationMetric>& cls) {
    cls.def(py::init<ClassLabel>(), py::arg("pos_label") = 1,
            "pos_label: the positive label; every other label is negative.")
        .def_property_readonly("pos_label", &T::pos_label, "The positive label.");
}

// update(y_true, y_pred): y_pred a real score or a dict of label probabilities.
template <class T>
void def_score_update(PyClass<T, IClassificationMetric>& cls) {
    cls.def(
           "update",
           [](T& self, ClassLabel y_true, py::handle y_pred) {
               if (py::isinstance<py::dict>(y_pred)) {
                   ProbabilityMap proba;
                   try {
                       proba = y_pred.cast<ProbabilityMap>();
                   } catch (const py::cast_error&) {
                       throw py::type_error("y_pred: a probability dict maps int labels to floats");
                   }
                   self.update_proba(y_true, proba);
                   return;
               }
               double score = 0.0;
               try {
                   score = y_pred.cast<double>();
               } catch (const py::cast_error&) {
                   throw py::type_error("y_pred must be a score (float) or a dict of label probabilities, not " +
                                        std::string(py::str(py::type::handle_of(y_pred).attr("__name__"))));
               }
               self.update_score(y_true, score);
           },
           py::arg("y_true"), py::arg("y_pred"),
           "Score one prediction: y_pred is a real score (higher: more likely pos_label) or a dict "
           "of label probabilities (the probability of pos_label is the score; 0 when absent).")
        .def("get", [](const T& self) { return self.get(); }, kGetDoc)
        .def("reset", [](T& self) { self.reset(); }, "Forget every update.")
        .def_property_readonly("pos_label", &T::pos_label, "The positive label.");
}

template <class T>
void def_value_measure(PyClass<T, IRegressionMetric>& cls) {
    cls.def(py::init<>(), "Create an empty measure (no parameters).")
        .def(
            "update", [](T& self, double y_true, double y_pred) { self.update(y_true, y_pred); },
            py::arg("y_true"), py::arg("y_pred"), "Score one prediction.")
        .def("get", [](const T& self) { return self.get(); }, kGetDoc)
        .def("reset", [](T& self) { self.reset(); }, "Forget every update.");
}

}  // namespace

void bind_CohenKappa(py::module_& m) {
    auto cls = label_measure<CohenKappa>(
        m, "CohenKappa",
        "Cohen's kappa: agreement between predicted and true labels beyond the agreement expected "
        "by chance from their marginal frequencies, (p_o - p_e) / (1 - p_e) (Cohen, Educational and "
        "Psychological Measurement 20(1), 1960).");
    cls.def(py::init<>(), "Create an empty measure (no parameters).");
}

void bind_KappaM(py::module_& m) {
    auto cls = label_measure<KappaM>(
        m, "KappaM",
        "Kappa M: accuracy corrected by that of a majority-class classifier, (p_o - p_m) / (1 - p_m) "
        "(Bifet, de Francisci Morales, Read, Holmes and Pfahringer, 'Efficient online evaluation of "
        "big data stream classifiers', KDD 2015; Machine Learning 2015). The majority-class "
        "classifier predicts each example before seeing its label, as MajorityClassClassifier does "
        "(the most frequent true label so far, ties to the label seen first, -1 before any). "
        "Negative when the model does worse than that baseline; 0.0 when the baseline is always "
        "right.");
    cls.def(py::init<>(), "Create an empty measure (no parameters).");
}

void bind_KappaT(py::module_& m) {
    auto cls = label_measure<KappaT>(
        m, "KappaT",
        "Kappa T (temporal kappa): accuracy corrected by that of the no-change classifier, which "
        "predicts the previous true label (-1 before any), (p_o - p_t) / (1 - p_t) (Zliobaite, "
        "Bifet, Read, Pfahringer and Holmes, 'Evaluation methods and decision theory for "
        "classification of streaming data with temporal dependence', Machine Learning 98, 2015). "
        "Negative when the model does worse than repeating the last label; 0.0 when the no-change "
        "classifier is always right.");
    cls.def(py::init<>(), "Create an empty measure (no parameters).");
}

void bind_BalancedAccuracy(py::module_& m) {
    auto cls = label_measure<BalancedAccuracy>(
        m, "BalancedAccuracy",
        "Balanced accuracy: the mean recall over the labels seen as true labels (Brodersen, Ong, "
        "Stephan and Buhmann, 'The balanced accuracy and its posterior distribution', ICPR 2010).");
    cls.def(py::init<>(), "Create an empty measure (no parameters).");
}

void bind_GeometricMean(py::module_& m) {
    auto cls = label_measure<GeometricMean>(
        m, "GeometricMean",
        "Geometric mean of the recalls of the labels seen as true labels; 0 when any of them is "
        "never predicted right (Kubat and Matwin, 'Addressing the curse of imbalanced training "
        "sets: one-sided selection', ICML 1997).");
    cls.def(py::init<>(), "Create an empty measure (no parameters).");
}

void bind_MCC(py::module_& m) {
    auto cls = label_measure<MCC>(
        m, "MCC",
        "Matthews correlation coefficient between true and predicted labels, in its multi-class "
        "form (Matthews, Biochimica et Biophysica Acta 405, 1975; Gorodkin, Computational Biology "
        "and Chemistry 28, 2004); 0.0 when either labelling is constant.");
    cls.def(py::init<>(), "Create an empty measure (no parameters).");
}

void bind_F1(py::module_& m) {
    auto cls = label_measure<F1>(m, "F1", "Binary F1 score of pos_label: 2 TP / (2 TP + FP + FN).");
    def_binary(cls);
}

void bind_Precision(py::module_& m) {
    auto cls = label_measure<Precision>(m, "Precision", "Binary precision of pos_label: TP / (TP + FP).");
    def_binary(cls);
}

void bind_Recall(py::module_& m) {
    auto cls = label_measure<Recall>(m, "Recall", "Binary recall of pos_label: TP / (TP + FN).");
    def_binary(cls);
}

void bind_ConfusionMatrix(py::module_& m) {
    auto cls = label_measure<ConfusionMatrix>(
        m, "ConfusionMatrix",
        "Counts by true and predicted label, labels in order of first appearance (the true label "
        "first); get() is the accuracy. matrix() gives the counts, classification_report() a text "
        "table of precision, recall and F1 per label.");
    cls.def(py::init<>(), "Create an empty matrix (no parameters).")
        .def_property_readonly(
            "labels", [](const ConfusionMatrix& self) { return self.labels(); },
            "Every label seen (true or predicted), in order of first appearance.")
        .def_property_readonly("n", &ConfusionMatrix::n, "Number of updates.")
        .def(
            "matrix", [](const ConfusionMatrix& self) { return self.matrix(); },
            "Counts as a list of rows: row i is the true label labels[i], column j the predicted "
            "label labels[j].")
        .def(
            "classification_report",
            [](const ConfusionMatrix& self, int digits) {
                if (digits < 0 || digits > 15) {
                    throw py::value_error("digits must be from 0 to 15, got " + std::to_string(digits));
                }
                return self.report(digits);
            },
            py::arg("digits") = 2,
            "Text table: precision, recall, F1 and support (times seen as true label) per label, "
            "then the accuracy and the macro and support-weighted averages; an undefined ratio is "
            "0.");
}

void bind_ROCAUC(py::module_& m) {
    PyClass<ROCAUC, IClassificationMetric> cls(
        m, "ROCAUC",
        "Exact area under the ROC curve: the share of (positive, negative) pairs whose positive "
        "has the higher score, ties counting half (Hanley and McNeil, Radiology 143(1), 1982). "
        "Counts per distinct score; 0.0 until both a positive and a negative were seen.");
    cls.def(py::init<ClassLabel>(), py::arg("pos_label") = 1,
            "pos_label: the positive label; every other label is negative.");
    def_score_update(cls);
}

void bind_RollingROCAUC(py::module_& m) {
    PyClass<RollingROCAUC, IClassificationMetric> cls(
        m, "RollingROCAUC",
        "Exact area under the ROC curve over the last window_size (label, score) pairs, ties "
        "counting half; memory bounded by the window. 0.0 until the window holds both a positive "
        "and a negative.");
    cls.def(py::init([](std::int64_t window_size, ClassLabel pos_label) {
                if (window_size < 1) {
                    throw py::value_error("window_size must be at least 1, got " + std::to_string(window_size));
                }
                return std::make_shared<RollingROCAUC>(window_size, pos_label);
            }),
            py::arg("window_size") = 1000, py::arg("pos_label") = 1,
            "window_size: number of recent pairs scored (at least 1); pos_label: the positive "
            "label.")
        .def_property_readonly("window_size", &RollingROCAUC::window_size, "Number of recent pairs scored.")
        .def_property_readonly("size", &RollingROCAUC::size, "Number of pairs in the window.");
    def_score_update(cls);
}

void bind_PRAUC(py::module_& m) {
    PyClass<PRAUC, IClassificationMetric> cls(
        m, "PRAUC",
        "Exact area under the precision-recall curve as average precision: the sum over "
        "decreasing score thresholds of (recall gained) x (precision there) (Zhu, 'Recall, "
        "precision and average precision', University of Waterloo, 2004). Counts per distinct "
        "score; 0.0 until a positive was seen.");
    cls.def(py::init<ClassLabel>(), py::arg("pos_label") = 1,
            "pos_label: the positive label; every other label is negative.");
    def_score_update(cls);
}

void bind_LogLoss(py::module_& m) {
    PyClass<LogLoss, IClassificationMetric> cls(
        m, "LogLoss",
        "Mean cross-entropy: -log of the probability given to the true label (0 when absent), "
        "clipped to [eps, 1 - eps] with eps the double-precision epsilon.");
    cls.def(py::init<>(), "Create an empty measure (no parameters).")
        .def(
            "update",
            [](LogLoss& self, ClassLabel y_true, const ProbabilityMap& y_pred) { self.update_proba(y_true, y_pred); },
            py::arg("y_true"), py::arg("y_pred"), "Score one dict of label probabilities.")
        .def("get", [](const LogLoss& self) { return self.get(); }, kGetDoc)
        .def("reset", [](LogLoss& self) { self.reset(); }, "Forget every update.");
}

void bind_MAPE(py::module_& m) {
    PyClass<MAPE, IRegressionMetric> cls(
        m, "MAPE",
        "Mean absolute percentage error, as a fraction: mean of |t - p| / max(|t|, eps), eps the "
        "double-precision epsilon (a zero target gives a huge term).");
    def_value_measure(cls);
}

void bind_SMAPE(py::module_& m) {
    PyClass<SMAPE, IRegressionMetric> cls(
        m, "SMAPE",
        "Symmetric mean absolute percentage error, as a fraction in [0, 2]: mean of |p - t| / "
        "((|t| + |p|) / 2); a zero target predicted as zero counts 0 (Makridakis, International "
        "Journal of Forecasting 9(4), 1993).");
    def_value_measure(cls);
}

}  // namespace kavro::catalog
