"""What the benchmark runs for each class of the module: how to build it, on which streams, and which
target it is held to.

Every class registered in _kavro_core is benchmarked: the ones listed here with their recipe, any other
one from its base class with its default constructor (see `entries`).
"""
from dataclasses import dataclass, field

# Target groups.
SINGLE = "single"        # learners and trees: <= 2.5x the floor
KNN = "knn"              # nearest neighbours, default window: <= 20x
ENSEMBLE = "ensemble"    # learn_one / repetitions <= 1.5x the member tree's own ratio
TRANSFORMER = "transformer"  # <= 2.5x the floor
PIPELINE = "pipeline"    # reported only
METRIC = "metric"        # update within 0.3 us of the like-for-like no-op
DETECTOR = "detector"    # same

RATIO_TARGET = {SINGLE: 2.5, TRANSFORMER: 2.5, KNN: 20.0}
ENSEMBLE_FACTOR = 1.5
ABSOLUTE_TARGET_US = 0.3
TARGET_STREAMS = ("clf2", "reg")  # the clf5 figures are reported, not judged


@dataclass
class Entry:
    name: str
    role: str          # classifier | regressor | transformer | metric | detector
    group: str
    make: object       # kc -> instance
    streams: tuple
    label: str = ""    # shown instead of the name (members, pipelines)
    member: str = ""   # ensembles: key of MEMBERS
    reps: object = None  # ensembles: stream kind -> member repetitions per example
    n: int = 10_000    # examples (updates for metrics and detectors) timed per stream
    mem_n: int = 100_000
    needs_target: bool = False  # transformer learn_one(x, y)
    floors: dict = field(default_factory=dict)  # metric/detector method -> Floor method name


def _clf(name, group=SINGLE, **kw):
    return Entry(name, "classifier", group, lambda kc: getattr(kc, name)(), ("clf2", "clf5"), **kw)


def _reg(name, group=SINGLE, **kw):
    return Entry(name, "regressor", group, lambda kc: getattr(kc, name)(), ("reg",), **kw)


def _tr(name, **kw):
    return Entry(name, "transformer", TRANSFORMER, lambda kc: getattr(kc, name)(), ("reg",), **kw)


def _metric(name, stream, update_floor):
    return Entry(name, "metric", METRIC, lambda kc: getattr(kc, name)(), (stream,), n=100_000,
                 floors={"update": update_floor, "get": "noop_get"})


def _detector(name, stream, update_floor):
    return Entry(name, "detector", DETECTOR, lambda kc: getattr(kc, name)(), (stream,), n=100_000,
                 floors={"update": update_floor})


def _bagging_reps(n_models=10, lam=6.0):
    return lambda stream: n_models * lam


def _sgbt_reps(stream):
    # 100 stages x 1 tree per booster; the default n_classes (0) keeps one booster per label
    return 100 * 1 * (2 if stream == "clf2" else 5)


# Member trees built as the ensembles build them (the parameters the ensembles pass; the rest at the
# tree defaults), timed standalone on the same stream.
MEMBERS = {
    "htc": ("HoeffdingTreeClassifier",
            dict(grace_period=50, split_confidence=0.01, max_depth=20, tie_threshold=0.05,
                 nb_threshold=0, split_criterion="info_gain"), "classifier"),
    "htr": ("HoeffdingTreeRegressor",
            dict(grace_period=200, split_confidence=1e-7, tie_threshold=0.05, max_depth=20,
                 learning_rate=0.01), "regressor"),
    "fimtdd_lb": ("FIMTDDRegressor",
                  dict(grace_period=50, split_confidence=0.01, max_depth=20,
                       leaf_prediction="adaptive", seed=0), "regressor"),
    "fimtdd_sgbt": ("FIMTDDRegressor",
                    dict(grace_period=25, split_confidence=0.05, max_depth=20,
                         leaf_prediction="mean", seed=1), "regressor"),
    "fimtdd_sgbr": ("FIMTDDRegressor",
                    dict(grace_period=50, split_confidence=0.01, max_depth=20,
                         leaf_prediction="mean", seed=1), "regressor"),
}


def member_entry(key, stream):
    cls, params, role = MEMBERS[key]
    args = ", ".join(f"{k}={v!r}" for k, v in params.items())
    return Entry(f"member:{key}", role, "member",
                 lambda kc: getattr(kc, cls)(**params), (stream,),
                 label=f"{cls}({args})")


def _pipeline(name, learner, role, stream):
    def make(kc):
        return getattr(kc, name)(steps=[kc.StandardScaler()], learner=getattr(kc, learner)())
    return Entry(name, role, PIPELINE, make, stream,
                 label=f"{name}([StandardScaler()], {learner}())")


ENSEMBLE_N = 2_000
ENSEMBLE_MEM_N = 100_000

RECIPES = [
    _clf("NaiveBayes"),
    _clf("Perceptron"),
    _clf("LogisticRegressionClassifier"),
    _clf("PassiveAggressiveClassifier"),
    _clf("SoftmaxRegression"),
    _clf("KNNClassifier", KNN, n=5_000),
    _clf("HoeffdingTreeClassifier"),
    _clf("EFDTClassifier"),
    _clf("SGTClassifier"),
    _clf("ARFClassifier", ENSEMBLE, member="htc", reps=_bagging_reps(), n=ENSEMBLE_N),
    _clf("SRPClassifier", ENSEMBLE, member="htc", reps=_bagging_reps(), n=ENSEMBLE_N),
    _clf("LeveragingBaggingClassifier", ENSEMBLE, member="htc", reps=_bagging_reps(),
         n=ENSEMBLE_N),
    _clf("HoeffdingAdaptiveTreeClassifier"),
    _reg("LinearRegression"),
    _reg("BayesianLinearRegression"),
    _reg("PassiveAggressiveRegressor"),
    _reg("KNNRegressor", KNN, n=5_000),
    _reg("HoeffdingTreeRegressor"),
    _reg("ARFRegressor", ENSEMBLE, member="htr", reps=_bagging_reps(), n=ENSEMBLE_N),
    _reg("SRPRegressor", ENSEMBLE, member="htr", reps=_bagging_reps(), n=ENSEMBLE_N),
    _reg("FIMTDDRegressor"),
    _reg("LeveragingBaggingRegressor", ENSEMBLE, member="fimtdd_lb", reps=_bagging_reps(),
         n=ENSEMBLE_N),
    _clf("SGBTClassifier", ENSEMBLE, member="fimtdd_sgbt", reps=_sgbt_reps, n=1_000),
    _reg("SGBRRegressor", ENSEMBLE, member="fimtdd_sgbr", reps=lambda s: 10 * 10, n=1_000),
    _tr("StandardScaler"),
    _tr("MinMaxScaler"),
    _tr("MaxAbsScaler"),
    _tr("VarianceThreshold"),
    _tr("SelectKBest", needs_target=True),
    _pipeline("ClassificationPipeline", "LogisticRegressionClassifier", "classifier",
              ("clf2", "clf5")),
    _pipeline("RegressionPipeline", "LinearRegression", "regressor", ("reg",)),
    _metric("Accuracy", "labels", "noop_labels"),
    _metric("MacroPrecision", "labels", "noop_labels"),
    _metric("MacroRecall", "labels", "noop_labels"),
    _metric("MacroF1", "labels", "noop_labels"),
    _metric("MAE", "values", "noop_pair"),
    _metric("RMSE", "values", "noop_pair"),
    _metric("WindowMetric", "labels", "noop_labels"),
    _metric("WindowRegressionMetric", "values", "noop_pair"),
    _metric("R2", "values", "noop_pair"),
    _detector("ADWIN", "reals", "noop_value"),
    _detector("EDDM", "errors", "noop_int"),
]

BY_NAME = {e.name: e for e in RECIPES}


def module_classes(kc):
    """Concrete classes registered in the module, in registration order."""
    interfaces = {"ITransformer", "IClassifier", "IRegressor"}
    return [n for n, o in vars(kc).items() if isinstance(o, type) and n not in interfaces]


def entries(kc):
    """(entries to run, names without a recipe) for the classes the module has."""
    out, unknown = [], []
    for name in module_classes(kc):
        if name in BY_NAME:
            out.append(BY_NAME[name])
            continue
        cls = getattr(kc, name)
        if issubclass(cls, kc.IClassifier):
            out.append(_clf(name))
        elif issubclass(cls, kc.IRegressor):
            out.append(_reg(name))
        elif issubclass(cls, kc.ITransformer):
            out.append(_tr(name))
        else:
            unknown.append(name)
    return out, unknown
