"""What a user gains: the shared learners against scikit-learn's per-example partial_fit / predict, and
naive Bayes against a straightforward pure-Python loop, on the same records in the same process.

scikit-learn is an optional, benchmark-only extra: without it the comparison is skipped. It is given
ready-made 1 x n numpy rows (the dict-to-array conversion is not charged to it).
"""
import gc
import math
import statistics
import warnings
from time import thread_time_ns as perf_counter_ns  # CPU time of this thread

from streams import make_blocks

N_EXAMPLES = 2_000
BLOCK = 50


class PyNaiveBayes:
    """Incremental Gaussian naive Bayes in plain Python: dicts of running mean and variance."""

    def __init__(self):
        self.counts = {}
        self.stats = {}  # label -> name -> [n, mean, m2]
        self.total = 0

    def learn_one(self, x, y):
        self.counts[y] = self.counts.get(y, 0) + 1
        self.total += 1
        table = self.stats.setdefault(y, {})
        for k, v in x.items():
            s = table.get(k)
            if s is None:
                s = table[k] = [0.0, 0.0, 0.0]
            s[0] += 1.0
            d = v - s[1]
            s[1] += d / s[0]
            s[2] += (v - s[1]) * d

    def _log_joint(self, x):
        out = {}
        for c, n in self.counts.items():
            score = math.log(n / self.total)
            table = self.stats.get(c, {})
            for k, v in x.items():
                s = table.get(k)
                if s is None:
                    continue
                if s[0] < 2:
                    score += -690.7755278982137
                    continue
                var = s[2] / (s[0] - 1.0)
                if var <= 0.0:
                    score += 0.0 if v == s[1] else -690.7755278982137
                    continue
                score += -0.5 * (v - s[1]) ** 2 / var - 0.5 * math.log(2.0 * math.pi * var)
            out[c] = score
        return out

    def predict_one(self, x):
        lj = self._log_joint(x)
        return max(lj, key=lj.get) if lj else -1

    def predict_proba_one(self, x):
        lj = self._log_joint(x)
        if not lj:
            return {}
        top = max(lj.values())
        e = {c: math.exp(s - top) for c, s in lj.items()}
        z = sum(e.values())
        return {c: v / z for c, v in e.items()}


def _time_pair(f_ref, f_other, pairs):
    """Median per-call us of two callables on the same (x, y) blocks, run back to back."""
    a, b = [], []
    for xs, ys in pairs:
        t = perf_counter_ns()
        for x, y in zip(xs, ys):
            f_ref(x, y)
        a.append((perf_counter_ns() - t) / len(xs) / 1000.0)
        t = perf_counter_ns()
        for x, y in zip(xs, ys):
            f_other(x, y)
        b.append((perf_counter_ns() - t) / len(xs) / 1000.0)
    return statistics.median(a), statistics.median(b)


def _time_prequential(model, blocks, learn_args, pred_args):
    """Median per-call us of learn_one and predict_one, test-then-train, block by block."""
    learn, pred = [], []
    for i, (xs, ys) in enumerate(blocks):
        if i:
            px = pred_args[i]
            t = perf_counter_ns()
            for x in px:
                model[1](x)
            pred.append((perf_counter_ns() - t) / len(px) / 1000.0)
        lx, ly = learn_args[i]
        t = perf_counter_ns()
        for x, y in zip(lx, ly):
            model[0](x, y)
        learn.append((perf_counter_ns() - t) / len(lx) / 1000.0)
    return statistics.median(learn), statistics.median(pred)


def _sklearn_models():
    from sklearn.linear_model import Perceptron, SGDClassifier, SGDRegressor
    from sklearn.naive_bayes import GaussianNB
    try:
        from sklearn.linear_model import PassiveAggressiveClassifier, PassiveAggressiveRegressor
    except ImportError:  # removed in newer releases: the documented equivalent
        def PassiveAggressiveClassifier():
            return SGDClassifier(loss="hinge", penalty=None, learning_rate="pa1", eta0=1.0)

        def PassiveAggressiveRegressor():
            return SGDRegressor(loss="epsilon_insensitive", penalty=None, learning_rate="pa1",
                                eta0=1.0)
    return [
        ("NaiveBayes", "GaussianNB()", GaussianNB, "clf2"),
        ("Perceptron", "Perceptron()", Perceptron, "clf2"),
        ("LogisticRegressionClassifier", 'SGDClassifier(loss="log_loss")',
         lambda: SGDClassifier(loss="log_loss"), "clf2"),
        ("PassiveAggressiveClassifier", "PassiveAggressiveClassifier()",
         PassiveAggressiveClassifier, "clf2"),
        ("PassiveAggressiveRegressor", "PassiveAggressiveRegressor()",
         PassiveAggressiveRegressor, "reg"),
        ("LinearRegression", "SGDRegressor()", SGDRegressor, "reg"),
    ]


def run(kc, floor, examples_override=None):
    n = min(N_EXAMPLES, examples_override) if examples_override else N_EXAMPLES
    out = {"n": n, "python_nb": None, "sklearn": None, "sklearn_skipped": None}
    blocks = {k: make_blocks(k, n, BLOCK) for k in ("clf2", "reg")}

    # pure-Python naive Bayes against NaiveBayes, prequential on the same records
    if hasattr(kc, "NaiveBayes"):
        gc.collect()
        gc.disable()
        try:
            res = {}
            for label, model in (("kavro", kc.NaiveBayes()), ("python", PyNaiveBayes())):
                b = blocks["clf2"]
                learn, pred = _time_prequential((model.learn_one, model.predict_one), b,
                                                b, [xs for xs, _ in b])
                res[label] = {"learn_one_us": learn, "predict_one_us": pred}
        finally:
            gc.enable()
        out["python_nb"] = res

    try:
        import numpy as np
        import sklearn
    except ImportError as exc:
        out["sklearn_skipped"] = f"scikit-learn not available ({exc.name})"
        return out

    rows = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for ours, theirs, make, kind in _sklearn_models():
            if not hasattr(kc, ours):
                rows.append({"kavro": ours, "sklearn": theirs, "skipped": "not in the module"})
                continue
            b = blocks[kind]
            names = list(b[0][0][0].keys())
            arr = [([np.array([[x[k] for k in names]]) for x in xs],
                    [np.array([y]) for y in ys]) for xs, ys in b]
            est = make()
            classes = np.array([0, 1])

            if kind == "clf2":
                first = [True]

                def fit(X, y, est=est):
                    if first[0]:
                        first[0] = False
                        est.partial_fit(X, y, classes=classes)
                    else:
                        est.partial_fit(X, y)
            else:
                def fit(X, y, est=est):
                    est.partial_fit(X, y)

            gc.collect()
            gc.disable()
            try:
                model = getattr(kc, ours)()
                k_learn, k_pred = _time_prequential((model.learn_one, model.predict_one), b, b,
                                                    [xs for xs, _ in b])
                s_learn, s_pred = _time_prequential((fit, est.predict), b, arr,
                                                    [X for X, _ in arr])
            finally:
                gc.enable()
            rows.append({"kavro": ours, "sklearn": theirs, "stream": kind,
                         "kavro_learn_us": k_learn, "kavro_predict_us": k_pred,
                         "sklearn_learn_us": s_learn, "sklearn_predict_us": s_pred,
                         "learn_speedup": s_learn / k_learn, "predict_speedup": s_pred / k_pred})
    out["sklearn"] = {"version": sklearn.__version__, "rows": rows}
    return out


def print_comparison(c):
    p = print
    p(f"\ncomparison, per example, test-then-train on the same {c['n']} records (median us):")
    if c.get("python_nb"):
        k, py = c["python_nb"]["kavro"], c["python_nb"]["python"]
        p(f"  NaiveBayes vs pure-Python loop: learn_one {k['learn_one_us']:.2f} vs "
          f"{py['learn_one_us']:.2f} ({py['learn_one_us'] / k['learn_one_us']:.1f}x faster), "
          f"predict_one {k['predict_one_us']:.2f} vs {py['predict_one_us']:.2f} "
          f"({py['predict_one_us'] / k['predict_one_us']:.1f}x faster)")
    if c.get("sklearn_skipped"):
        p(f"  scikit-learn comparison skipped: {c['sklearn_skipped']}")
    elif c.get("sklearn"):
        p(f"  against scikit-learn {c['sklearn']['version']} partial_fit / predict on 1-row arrays:")
        p(f"  {'KAVRO':<30} {'scikit-learn':<32} {'learn us':>18} {'predict us':>18} "
          f"{'speed-up':>14}")
        for r in c["sklearn"]["rows"]:
            if "skipped" in r:
                p(f"  {r['kavro']:<30} {r['sklearn']:<32} skipped: {r['skipped']}")
                continue
            p(f"  {r['kavro']:<30} {r['sklearn']:<32} "
              f"{r['kavro_learn_us']:8.2f} /{r['sklearn_learn_us']:8.1f} "
              f"{r['kavro_predict_us']:8.2f} /{r['sklearn_predict_us']:8.1f} "
              f"{r['learn_speedup']:6.0f}x {r['predict_speedup']:5.0f}x")
