// Cumulative classification scores: accuracy and macro-averaged precision, recall, F1.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "core/types.hpp"

namespace kavro {

class Accuracy {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    void update(ClassLabel y_true, ClassLabel y_pred) {
        ++total;
        if (y_true == y_pred) ++correct;
    }
    // Fraction of correct predictions; 0 before the first update.
    double get() const {
        return total == 0 ? 0.0 : static_cast<double>(correct) / static_cast<double>(total);
    }
    void reset() {
        correct = 0;
        total = 0;
    }

private:
    std::int64_t correct = 0;
    std::int64_t total = 0;
};

struct ClassCounts {
    std::int64_t true_positives = 0;
    std::int64_t false_positives = 0;
    std::int64_t false_negatives = 0;
};

// Per-class confusion counts shared by the macro-averaged scores. A label enters the
// table the first time it is seen as the true or the predicted label.
class MacroBase {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    void update(ClassLabel y_true, ClassLabel y_pred) {
        ClassCounts& t = class_counts[y_true];
        ClassCounts& p = class_counts[y_pred];
        if (y_true == y_pred) {
            ++t.true_positives;
        } else {
            ++p.false_positives;
            ++t.false_negatives;
        }
    }
    void reset() { class_counts.clear(); }

protected:
    std::unordered_map<ClassLabel, ClassCounts> class_counts;
};

// Mean over every class seen of TP / (TP + FP).
class MacroPrecision : public MacroBase {
public:
    double get() const;
};

// Mean over every class seen of TP / (TP + FN).
class MacroRecall : public MacroBase {
public:
    double get() const;
};

// Mean over every class seen of 2 TP / (2 TP + FP + FN).
class MacroF1 : public MacroBase {
public:
    double get() const;
};

}  // namespace kavro
