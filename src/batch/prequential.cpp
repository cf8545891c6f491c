// Test-then-train over blocks of rows (arrays from Python, or blocks of the CSV engine), with
// labels held back (delay) and the last scored examples kept for a rolling view (window).
#include "batch/prequential.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "batch/inputs.hpp"
#include "batch/loops.hpp"
#include "batch/record.hpp"
#include "catalog/measures.hpp"
#include "core/interfaces.hpp"
#include "core/interrupt.hpp"
#include "core/types.hpp"
#include "io/csv_engine.hpp"
#include "tree/hoeffding_tree_classifier.hpp"

namespace py = pybind11;

namespace kavro::native {

namespace {

enum class Task { kClassify, kRegress, kDetect };

// What the model said of an example on its arrival: its label, or its value (a regressor's
// prediction, an anomaly score), and its probabilities when a measure takes them.
struct Said {
    ClassLabel label = 0;
    double value = 0.0;
    ProbabilityMap proba;
};

struct Slot {
    std::shared_ptr<IClassificationMetric> labels;
    std::shared_ptr<IRegressionMetric> values;
    IClassificationMetric::Input input = IClassificationMetric::Input::label;
};

// The measures of a run, each updated as the Python loop updates it.
class Measures {
public:
    Measures(Task task, const py::sequence& objects) : task_(task) {
        for (auto h : objects) add(h);
    }

    bool needs_proba() const { return needs_proba_; }

    void score(ClassLabel y, const Said& s) const {
        for (const auto& m : slots_) {
            if (!m.labels) {
                m.values->update(static_cast<double>(y), static_cast<double>(s.label));
            } else if (task_ == Task::kDetect) {
                m.labels->update_score(y, s.value);
            } else if (m.input == IClassificationMetric::Input::label) {
                m.labels->update(y, s.label);
            } else if (m.input == IClassificationMetric::Input::proba) {
                m.labels->update_proba(y, s.proba);
            } else {
                const auto it = s.proba.find(1);
                m.labels->update_score(y, it != s.proba.end() ? it->second : 0.0);
            }
        }
    }

    void score(double y, const Said& s) const {
        for (const auto& m : slots_) m.values->update(y, s.value);
    }

private:
    void add(py::handle h) {
        const catalog::Measure found = catalog::measure_of(h, "progressive_val_score");
        Slot s{found.labels, found.values};
        if (s.labels) {
            if (task_ == Task::kRegress) {
                throw py::type_error("a label metric cannot score a regressor's predictions");
            }
            s.input = s.labels->input();
            if (task_ == Task::kClassify && s.input != IClassificationMetric::Input::label) needs_proba_ = true;
        } else if (task_ == Task::kDetect) {
            throw py::type_error("a regression metric cannot score an anomaly detector");
        }
        slots_.push_back(std::move(s));
    }

    Task task_;
    std::vector<Slot> slots_;
    bool needs_proba_ = false;
};

// Test-then-train of one learner (a classifier, a regressor or an anomaly detector) over
// blocks of rows. An example is predicted on arrival; with a delay of d its label arrives d
// examples later, when it is scored and learnt. The members of an ensemble that splits into
// member steps vote and learn on `threads` threads.
class Prequential {
public:
    Prequential(py::handle model, const py::sequence& metrics, int n_jobs, std::size_t delay,
                std::size_t window)
        : threads_(batch::read_n_jobs("Prequential", n_jobs)), delay_(delay), window_(window) {
        if (py::isinstance<IClassifier>(model)) {
            classifier_ = model.cast<std::shared_ptr<IClassifier>>();
            task_ = Task::kClassify;
            if (typeid(*classifier_) == typeid(HoeffdingTreeClassifier)) {
                tree_ = static_cast<HoeffdingTreeClassifier*>(classifier_.get());
            }
        } else if (py::isinstance<IRegressor>(model)) {
            regressor_ = model.cast<std::shared_ptr<IRegressor>>();
            task_ = Task::kRegress;
        } else if (py::isinstance<IAnomalyDetector>(model)) {
            detector_ = model.cast<std::shared_ptr<IAnomalyDetector>>();
            task_ = Task::kDetect;
        } else {
            throw py::type_error("no native loop for a model of type " +
                                 std::string(py::str(py::type::handle_of(model).attr("__name__"))));
        }
        measures_ = std::make_unique<Measures>(task_, metrics);
    }

    // Runs every row of an array block; false (nothing done) when the targets are not of a
    // kind the learner takes without conversion errors, so the caller runs the block itself.
    bool run(const py::array_t<double>& X, const py::array& y, const std::vector<std::string>& names) {
        if (X.ndim() != 2 || y.ndim() != 1 || y.shape(0) != X.shape(0)) {
            throw py::value_error("block: X must be 2-D and y 1-D of the same length");
        }
        if (static_cast<py::ssize_t>(names.size()) != X.shape(1)) {
            throw py::value_error("block: one name per column expected");
        }
        const auto cells = X.unchecked<2>();
        const auto width = static_cast<std::size_t>(X.shape(1));
        std::vector<double> row(width);
        auto row_at = [&](std::size_t i) {
            for (std::size_t j = 0; j < width; ++j) {
                row[j] = cells(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(j));
            }
            return static_cast<const double*>(row.data());
        };
        const auto n = static_cast<std::size_t>(X.shape(0));
        const char kind = y.dtype().kind();
        if (task_ != Task::kRegress) {
            if (kind != 'i' && kind != 'u' && kind != 'b') return false;
            py::array_t<std::int64_t> labels = py::array_t<std::int64_t>::ensure(y);
            if (!labels) throw py::error_already_set();
            const auto t = labels.unchecked<1>();
            for (py::ssize_t i = 0; i < t.shape(0); ++i) {
                if (!is_label(t(i))) return false;
            }
            if (kind == 'u') {  // values past int64 wrap in the cast above
                auto u = py::array_t<std::uint64_t>::ensure(y).unchecked<1>();
                for (py::ssize_t i = 0; i < u.shape(0); ++i) {
                    if (u(i) > static_cast<std::uint64_t>(std::numeric_limits<ClassLabel>::max())) return false;
                }
            }
            run_rows<ClassLabel>(names, n, row_at,
                                 [&](std::size_t i) { return static_cast<ClassLabel>(t(static_cast<py::ssize_t>(i))); });
            return true;
        }
        if (kind != 'i' && kind != 'u' && kind != 'b' && kind != 'f') return false;
        py::array_t<double> targets = py::array_t<double>::ensure(y);
        if (!targets) throw py::error_already_set();
        const auto t = targets.unchecked<1>();
        run_rows<double>(names, n, row_at, [&](std::size_t i) { return t(static_cast<py::ssize_t>(i)); });
        return true;
    }

    // Runs rows first ... first + count - 1 of a block of the CSV engine, whose label codes
    // (if any) have their values in `table`; false (nothing done) when the targets are not of
    // a kind the learner takes as they are.
    bool run_block(py::handle block, std::size_t first, std::size_t count,
                   const std::vector<std::string>& names, const std::shared_ptr<io::LabelTable>& table) {
        const std::shared_ptr<io::CsvBlock> b = io::block_of(block);
        if (first > b->rows || count > b->rows - first) throw py::value_error("block: rows out of range");
        if (names.size() != b->width) throw py::value_error("block: one name per column expected");
        const std::size_t width = b->width;
        const double* X = b->X.get() + first * width;
        auto row_at = [&](std::size_t i) { return X + i * width; };
        const std::int64_t* codes = b->y_int.data() + (b->kind == io::TargetKind::kFloat ? 0 : first);
        if (b->kind == io::TargetKind::kLabel) {
            if (!table) throw py::value_error("block: labels without values");
            for (std::size_t i = 0; i < count; ++i) {
                if (codes[i] < 0 || static_cast<std::size_t>(codes[i]) >= table->size()) {
                    throw py::value_error("block: labels without values");
                }
            }
            if (task_ != Task::kRegress) {
                if (!table->labels()) return false;
                run_rows<ClassLabel>(names, count, row_at, [&](std::size_t i) {
                    return static_cast<ClassLabel>(table->integer(codes[i]));
                });
            } else {
                if (!table->numbers()) return false;
                run_rows<double>(names, count, row_at, [&](std::size_t i) { return table->value(codes[i]); });
            }
            return true;
        }
        if (b->kind == io::TargetKind::kFloat) {
            if (task_ != Task::kRegress) return false;
            const double* ys = b->y_float.data() + first;
            run_rows<double>(names, count, row_at, [&](std::size_t i) { return ys[i]; });
            return true;
        }
        if (task_ != Task::kRegress) {
            for (std::size_t i = 0; i < count; ++i) {
                if (!is_label(codes[i])) return false;
            }
            run_rows<ClassLabel>(names, count, row_at, [&](std::size_t i) { return static_cast<ClassLabel>(codes[i]); });
        } else {
            run_rows<double>(names, count, row_at, [&](std::size_t i) { return static_cast<double>(codes[i]); });
        }
        return true;
    }

    // Feeds the kept examples (the last `window` scored) to fresh measures, as they were scored.
    void window_into(const py::sequence& fresh) const {
        const Measures m(task_, fresh);
        for (const auto& [y, said] : recent_labels_) m.score(y, said);
        for (const auto& [y, said] : recent_values_) m.score(y, said);
    }

    // The examples whose labels have not arrived, (record, target, prediction) oldest first,
    // and the kept scored ones, (target, prediction): for the Python loop to go on from here.
    py::tuple handover() const {
        py::list pending;
        for (std::size_t k = 0; k < waiting_.count; ++k) {
            const std::size_t at = (waiting_.head + k) % delay_;
            const double* row = waiting_.cells.data() + at * waiting_.names.size();
            py::dict x;
            for (std::size_t j = 0; j < waiting_.names.size(); ++j) {
                if (row[j] == row[j]) x[py::str(waiting_.names[j])] = row[j];
            }
            py::object y = task_ == Task::kRegress ? py::object(py::float_(waiting_.ys[at]))
                                                   : py::object(py::int_(static_cast<ClassLabel>(waiting_.ys[at])));
            pending.append(py::make_tuple(x, y, said_value(waiting_.said[at])));
        }
        py::list recent;
        for (const auto& [y, said] : recent_labels_) recent.append(py::make_tuple(y, said_value(said)));
        for (const auto& [y, said] : recent_values_) recent.append(py::make_tuple(y, said_value(said)));
        return py::make_tuple(pending, recent);
    }

private:
    // The examples whose labels have not arrived: a ring of `delay` rows (cells in column
    // order), their targets and what the model said of them, oldest at `head`.
    struct Waiting {
        std::vector<std::string> names;
        std::vector<double> cells;
        std::vector<double> ys;
        std::vector<Said> said;
        std::size_t head = 0;
        std::size_t count = 0;
        std::unique_ptr<batch::RecordBuilder> records;  // of the rows as they arrive at learning
    };

    static bool is_label(std::int64_t v) {
        return v >= std::numeric_limits<ClassLabel>::min() && v <= std::numeric_limits<ClassLabel>::max();
    }

    py::object said_value(const Said& s) const {
        if (task_ == Task::kClassify) return py::int_(s.label);
        return py::float_(s.value);
    }

    // Readies the ring for rows of these columns (the columns of a stream do not change while
    // examples wait).
    void wait_for(const std::vector<std::string>& names) {
        if (waiting_.records && waiting_.names == names) return;
        if (waiting_.count > 0) throw py::value_error("block: the columns changed while labels were due");
        waiting_.names = names;
        waiting_.cells.assign(delay_ * names.size(), 0.0);
        waiting_.ys.assign(delay_, 0.0);
        waiting_.said.assign(delay_, Said{});
        waiting_.records = std::make_unique<batch::RecordBuilder>(waiting_.names);
    }
    std::deque<std::pair<ClassLabel, Said>>& recent(ClassLabel*) { return recent_labels_; }
    std::deque<std::pair<double, Said>>& recent(double*) { return recent_values_; }

    // What the model says of x on its arrival; `learnt` when that call learnt (x, y) too.
    Said arrive(const FeatureMap& x, ClassLabel y, bool& learnt) {
        Said s;
        learnt = false;
        if (task_ == Task::kDetect) {
            s.value = detector_->score_one(x);
            return s;
        }
        if (measures_->needs_proba()) s.proba = classifier_->predict_proba_one(x);
        if (tree_ != nullptr && delay_ == 0) {
            s.label = tree_->predict_then_learn_one(x, y);  // routes once
            learnt = true;
        } else {
            s.label = classifier_->predict_one(x);
        }
        return s;
    }

    Said arrive(const FeatureMap& x, double, bool& learnt) {
        learnt = false;
        Said s;
        s.value = regressor_->predict_one(x);
        return s;
    }

    void learn(const FeatureMap& x, ClassLabel y) {
        if (task_ == Task::kDetect) {
            detector_->learn_one(x);
        } else {
            classifier_->learn_one(x, y);
        }
    }
    void learn(const FeatureMap& x, double y) { regressor_->learn_one(x, y); }

    // The label of an example arrived: scored, kept for the window, learnt.
    template <class Target>
    void label_arrives(const FeatureMap& x, Target y, const Said& said, bool learnt) {
        measures_->score(y, said);
        if (window_ > 0) {
            auto& kept = recent(static_cast<Target*>(nullptr));
            if (kept.size() == window_) kept.pop_front();
            kept.emplace_back(y, said);
        }
        if (!learnt) learn(x, y);
    }

    template <class Target, class RowAt, class TargetAt>
    void run_rows(const std::vector<std::string>& names, std::size_t n, RowAt&& row_at, TargetAt&& target_at) {
        ensemble::MemberSteps<Target>* members = nullptr;
        if constexpr (std::is_same_v<Target, double>) {
            if (threads_ > 1 && delay_ == 0) members = batch::member_steps_of<double>(regressor_.get());
        } else {
            if (threads_ > 1 && delay_ == 0 && task_ == Task::kClassify && !measures_->needs_proba()) {
                members = batch::member_steps_of<ClassLabel>(classifier_.get());
            }
        }
        batch::RecordBuilder records(names);
        if (delay_ > 0) wait_for(names);
        std::vector<FeatureMap> xs;
        std::vector<Target> ys, predictions;
        for (std::size_t i = 0; i < n;) {
            if (members != nullptr && !members->draws_change_votes()) {
                const std::size_t end = std::min(n, i + batch::kChunkRows);
                xs.clear();
                ys.clear();
                for (std::size_t k = i; k < end; ++k) {
                    xs.push_back(records.build(row_at(k)));
                    ys.push_back(target_at(k));
                }
                predictions.resize(xs.size());
                batch::predict_learn_by_members(*members, xs, ys.data(), threads_, predictions.data());
                for (std::size_t k = 0; k < xs.size(); ++k) {
                    Said s;
                    if constexpr (std::is_same_v<Target, double>) {
                        s.value = predictions[k];
                    } else {
                        s.label = predictions[k];
                    }
                    label_arrives(xs[k], ys[k], s, true);
                }
                i = end;
                continue;
            }
            const double* row = row_at(i);
            const Target y = target_at(i);
            bool learnt = false;
            if (delay_ == 0) {
                const FeatureMap& x = records.next(row);
                const Said s = arrive(x, y, learnt);
                label_arrives(x, y, s, learnt);
            } else {
                // Predicted on arrival; the label of the example `delay` rows back arrives now.
                const Said s = arrive(records.next(row), y, learnt);
                Waiting& w = waiting_;
                const std::size_t width = names.size();
                std::size_t at = (w.head + w.count) % delay_;
                if (w.count == delay_) {
                    at = w.head;
                    const FeatureMap& due = w.records->next(w.cells.data() + at * width);
                    label_arrives(due, static_cast<Target>(w.ys[at]), w.said[at], false);
                    w.head = (w.head + 1) % delay_;
                } else {
                    ++w.count;
                }
                std::copy(row, row + width, w.cells.data() + at * width);
                w.ys[at] = static_cast<double>(y);
                w.said[at] = s;
            }
            if (++i % kInterruptInterval == 0) poll_interrupt();
        }
    }

    unsigned threads_;
    std::size_t delay_;
    std::size_t window_;
    Task task_ = Task::kClassify;
    std::shared_ptr<IClassifier> classifier_;
    std::shared_ptr<IRegressor> regressor_;
    std::shared_ptr<IAnomalyDetector> detector_;
    HoeffdingTreeClassifier* tree_ = nullptr;  // the model, when it predicts and learns in one call
    std::unique_ptr<Measures> measures_;
    Waiting waiting_;
    std::deque<std::pair<ClassLabel, Said>> recent_labels_;
    std::deque<std::pair<double, Said>> recent_values_;
};

}  // namespace

void bind_prequential(py::module_& m) {
    py::class_<Prequential>(m, "Prequential",
                            "Test-then-train of a classifier, regressor or anomaly detector scored "
                            "by any measures, over blocks of rows.")
        .def(py::init<py::handle, const py::sequence&, int, std::size_t, std::size_t>(), py::arg("model"),
             py::arg("metrics"), py::arg("n_jobs") = 1, py::arg("delay") = 0, py::arg("window") = 0,
             "TypeError when the model or a measure has no native path. delay: each label arrives "
             "that many examples later (the example is predicted on arrival, scored and learnt when "
             "its label arrives); window: keep the last that many scored examples (0: none). The "
             "members of an ARF, SRP or leveraging-bagging ensemble vote and learn on n_jobs threads "
             "(-1: every core); results are those of one thread.")
        .def("run", &Prequential::run, py::arg("X"), py::arg("y"), py::arg("names"),
             "Predict, score and learn every row of X (float64, NaN = absent) with targets y; "
             "False, with nothing done, when y is not of a kind the learner takes as is.")
        .def("run_block", &Prequential::run_block, py::arg("block"), py::arg("first"), py::arg("count"),
             py::arg("names"), py::arg("labels") = nullptr,
             "The same over rows of a CSV engine block; labels: the values of its label codes.")
        .def("window_into", &Prequential::window_into, py::arg("metrics"),
             "Feed the kept examples to fresh measures, as they were scored.")
        .def("handover", &Prequential::handover,
             "(pending, recent): the examples whose labels have not arrived as (x, y, prediction), "
             "and the kept scored ones as (y, prediction).");
}

}  // namespace kavro::native
