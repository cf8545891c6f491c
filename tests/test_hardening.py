"""Careless and hostile callers: every method and property of every class refuses a self that is
None, of another class or never constructed; __init__ runs once; refused operations, failed
allocations and interrupted calls leave objects usable and unchanged where promised."""

import contextlib
import math
import os
import signal
import struct
import subprocess
import sys

import pytest

import _kavro_core as kc
import kavro

from signatures import constructor_params
from state_roundtrip import seal, split_state
from test_properties import ALL, family, fingerprint, learn, small_kwargs, tie_free_stream

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
X = {"a": 1.0, "b": 2.0}
NO_ARGS = {"reset", "get", "accuracy", "macro_f1", "mae", "rmse", "n_splits", "clone_state"}
BAGGING = ["ARFClassifier", "ARFRegressor", "SRPClassifier", "SRPRegressor",
           "LeveragingBaggingClassifier", "LeveragingBaggingRegressor"]


def make(name, **kwargs):
    cls = getattr(kc, name)
    if name == "ClassificationPipeline":
        return cls([kc.StandardScaler()], kc.NaiveBayes())
    if name == "RegressionPipeline":
        return cls([kc.StandardScaler()], kc.LinearRegression())
    return cls(**{**small_kwargs(name), **kwargs})


def init_args(name):
    if name == "ClassificationPipeline":
        return ([kc.StandardScaler()], kc.NaiveBayes()), {}
    if name == "RegressionPipeline":
        return ([kc.StandardScaler()], kc.LinearRegression()), {}
    return (), small_kwargs(name)


def target(fam, y, t):
    return y if fam in ("classifier", "cmetric", "detector") else t


def train(obj, name, stream):
    fam = family(name)
    for x, y, t in stream:
        learn(obj, fam, x, target(fam, y, t))


def sample_args(name, method):
    fam = family(name)
    if method == "learn_one":
        if fam == "classifier":
            return (X, 1)
        if fam == "regressor" or name == "SelectKBest":
            return (X, 1.0)
        return (X,)
    if method in ("predict_one", "predict_proba_one", "transform_one"):
        return (X,)
    if method == "set_feature_order":
        return (["a", "b"],)
    if method == "update":
        if fam == "detector":
            return (1,) if name == "EDDM" else (1.0,)
        return (1, 1) if fam == "cmetric" else (1.0, 2.0)
    if method in NO_ARGS:
        return ()
    raise AssertionError(f"{name}.{method}: no sample arguments; add them to this table")


def members():
    """(class, attribute, how) for every public method, getter and setter, found on the module."""
    out = []
    for name in ALL:
        seen = set()
        for klass in getattr(kc, name).__mro__:
            if getattr(klass, "__module__", None) != kc.__name__:
                continue
            for attr, value in vars(klass).items():
                if attr.startswith("_") or attr in seen:
                    continue
                seen.add(attr)
                if isinstance(value, property):
                    out.append((name, attr, "get"))
                    if value.fset is not None:
                        out.append((name, attr, "set"))
                else:
                    out.append((name, attr, "call"))
    return out


MEMBERS = members()


def invoke(name, attr, how, self_obj, reference):
    """The member on self_obj, with arguments valid for a constructed `reference`."""
    cls = getattr(kc, name)
    if how == "get":
        return getattr(cls, attr).fget(self_obj)
    if how == "set":
        return getattr(cls, attr).fset(self_obj, getattr(cls, attr).fget(reference))
    return getattr(cls, attr)(self_obj, *sample_args(name, attr))


def test_every_class_has_members_to_check():
    assert len(ALL) == 42
    assert {n for n, _, _ in MEMBERS} == set(ALL)
    assert len(MEMBERS) > 212


@pytest.mark.parametrize("name,attr,how", MEMBERS, ids=[f"{n}.{a}.{h}" for n, a, h in MEMBERS])
def test_members_refuse_a_self_that_is_not_a_constructed_instance(name, attr, how):
    cls = getattr(kc, name)
    reference = make(name)
    invoke(name, attr, how, reference, reference)  # the arguments themselves are valid
    foreign = kc.ADWIN() if name != "ADWIN" else kc.Accuracy()
    for bad in (None, foreign, 1.5, cls):
        with pytest.raises(TypeError):
            invoke(name, attr, how, bad, reference)
    bare = cls.__new__(cls)
    with pytest.raises(TypeError, match=rf"^{name} object is not initialised \(was __init__ called\?\)$"):
        invoke(name, attr, how, bare, reference)
    # Still a blank object: __init__ makes it whole.
    args, kwargs = init_args(name)
    bare.__init__(*args, **kwargs)
    invoke(name, attr, how, bare, reference)


@pytest.mark.parametrize("name", ALL)
def test_second_init_is_refused_and_changes_nothing(name):
    stream = tie_free_stream(40)
    a, b = make(name), make(name)
    train(a, name, stream[:25])
    train(b, name, stream[:25])
    args, kwargs = init_args(name)
    with pytest.raises(TypeError, match=rf"^{name} object is already initialised"):
        a.__init__(*args, **kwargs)
    with pytest.raises(TypeError, match="already initialised"):
        type(a).__init__(a)
    train(a, name, stream[25:])
    train(b, name, stream[25:])
    assert fingerprint(a, family(name)) == fingerprint(b, family(name))


@pytest.mark.parametrize("name", ALL)
def test_init_on_a_bare_instance_gives_a_fresh_object(name):
    cls = getattr(kc, name)
    bare = cls.__new__(cls)
    args, kwargs = init_args(name)
    bare.__init__(*args, **kwargs)
    fresh = make(name)
    stream = tie_free_stream(30)
    train(bare, name, stream)
    train(fresh, name, stream)
    assert fingerprint(bare, family(name)) == fingerprint(fresh, family(name))
    # The constructor keeps its documented signature.
    assert cls.__init__.__name__ == "__init__"
    assert cls.__init__.__doc__.startswith("__init__(self: ")


def test_unconstructed_objects_are_refused_as_arguments():
    bare_step = kc.StandardScaler.__new__(kc.StandardScaler)
    bare_learner = kc.NaiveBayes.__new__(kc.NaiveBayes)
    with pytest.raises(TypeError, match="StandardScaler object is not initialised"):
        kc.ClassificationPipeline([kc.MinMaxScaler(), bare_step], kc.NaiveBayes())
    with pytest.raises(TypeError, match="NaiveBayes object is not initialised"):
        kc.ClassificationPipeline([], bare_learner)
    with pytest.raises(TypeError, match="LinearRegression object is not initialised"):
        kc.RegressionPipeline([], kc.LinearRegression.__new__(kc.LinearRegression))
    with pytest.raises(TypeError):
        kc.RegressionPipeline([], None)


# ---- nesting ----------------------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["classification", "regression"])
def test_pipeline_nesting_is_bounded_and_the_deepest_chain_works(kind):
    if kind == "classification":
        pipeline, leaf, y = kc.ClassificationPipeline, kc.NaiveBayes(), 1
    else:
        pipeline, leaf, y = kc.RegressionPipeline, kc.LinearRegression(), 2.0
    top = leaf
    depth = 0
    with pytest.raises(ValueError, match=r"at most 1000 deep .* would be 1001"):
        for _ in range(100_000):
            top = pipeline([], top)
            depth += 1
    assert depth == 1000
    for x, _, t in tie_free_stream(10):
        top.learn_one(x, y if kind == "classification" else t)
    assert top.predict_one({"a": 0.5}) == leaf.predict_one({"a": 0.5})
    top.reset()
    assert top.predict_one({"a": 0.5}) == leaf.predict_one({"a": 0.5})
    del top  # destroys a chain of the largest accepted depth


# ---- parameters -------------------------------------------------------------------------------

@pytest.mark.parametrize("name", BAGGING)
def test_poisson_mean_must_be_usable(name):
    cls = getattr(kc, name)
    for bad in (0.0, -1.0, float("nan"), float("inf"), -float("inf"), 1e-300, 1e-17, 1.000001e9):
        with pytest.raises(ValueError, match=r"^'lambda_value' must be a finite number above "
                                             r"1\.1e-16 .* at most 1e9"):
            cls(n_models=1, lambda_value=bad)
    for good in (2e-16, 1e9):
        cls(n_models=1, lambda_value=good)
    # A small valid mean still trains the members now and then.
    model = cls(n_models=2, lambda_value=0.5, grace_period=5)
    fam = family(name)
    blank = fingerprint(cls(n_models=2), fam)
    train(model, name, tie_free_stream(200))
    assert fingerprint(model, fam) != blank


def test_eddm_thresholds_are_checked_on_every_write():
    with pytest.raises(ValueError, match="'alpha' must be greater or equal to 'beta'"):
        kc.EDDM(alpha=float("nan"))
    with pytest.raises(ValueError):
        kc.EDDM(beta=float("nan"))
    e = kc.EDDM(alpha=0.95, beta=0.9)
    for attr, bad in (("alpha", 0.89), ("alpha", float("nan")), ("beta", 0.96),
                      ("beta", float("nan"))):
        with pytest.raises(ValueError, match="'alpha' must be greater or equal to 'beta'"):
            setattr(e, attr, bad)
        assert (e.alpha, e.beta) == (0.95, 0.9)
    e.beta = 0.95
    e.alpha = 0.95
    assert (e.alpha, e.beta) == (0.95, 0.95)


# ---- failed allocations -----------------------------------------------------------------------

@pytest.mark.skipif(UNDER_ASAN, reason="the address sanitizer aborts instead of raising std::bad_alloc")
@pytest.mark.parametrize("name", BAGGING)
def test_reset_that_cannot_allocate_leaves_the_ensemble_as_it_was(name):
    stream = tie_free_stream(120)
    a, b = make(name), make(name)
    train(a, name, stream[:60])
    train(b, name, stream[:60])
    size = a.n_models
    a.n_models = 2**31 - 1
    with pytest.raises((MemoryError, ValueError)):
        a.reset()
    a.n_models = size
    train(a, name, stream[60:])
    train(b, name, stream[60:])
    assert fingerprint(a, family(name)) == fingerprint(b, family(name))


@pytest.mark.skipif(UNDER_ASAN, reason="the address sanitizer aborts instead of raising std::bad_alloc")
@pytest.mark.parametrize("name,kwargs", [("SGBTClassifier", {}), ("SGBTClassifier", {"n_classes": 2}),
                                         ("SGBRRegressor", {})])
def test_a_booster_that_cannot_be_built_leaves_the_model_as_it_was(name, kwargs):
    stream = tie_free_stream(60)
    a, b = make(name, n_models=3, **kwargs), make(name, n_models=3, **kwargs)
    if not kwargs and name == "SGBTClassifier":  # one booster per label: a new one below
        train(a, name, stream[:30])
        train(b, name, stream[:30])
    a.n_models = 2**31 - 1
    with pytest.raises(MemoryError):
        learn(a, family(name), {"a": 1.0, "b": 2.0}, 5)  # a new label, or the first example
    a.n_models = 3
    train(a, name, stream[30:])
    train(b, name, stream[30:])
    assert fingerprint(a, family(name)) == fingerprint(b, family(name))


# ---- interruption -----------------------------------------------------------------------------

@contextlib.contextmanager
def keyboard_interrupt_in(seconds):
    """A real signal, as Ctrl-C sends one: a helper thread could not run while the call holds
    the GIL. SIGALRM's handler is the one Python installs for SIGINT."""
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


LONG_CALLS = {
    "ARFClassifier": lambda: kc.ARFClassifier(n_models=1, lambda_value=1e9),
    "LeveragingBaggingRegressor": lambda: kc.LeveragingBaggingRegressor(n_models=1,
                                                                       lambda_value=1e9),
    "SGBTClassifier": lambda: kc.SGBTClassifier(n_models=20, multiply_hessian_by=10**7),
}


@pytest.mark.parametrize("restored", [False, True], ids=["built", "restored"])
@pytest.mark.parametrize("name", sorted(LONG_CALLS))
def test_a_long_learn_one_can_be_interrupted(name, restored):
    # A restored model is built by the saved-state module's own copy of the core.
    model, fam = LONG_CALLS[name](), family(name)
    if restored:
        model = kavro.loads(kavro.dumps(model))
    with keyboard_interrupt_in(0.2), pytest.raises(KeyboardInterrupt):
        learn(model, fam, {"a": 1.0, "b": 0.5}, 1)  # minutes of repetitions if not interrupted
    # Left consistent: it answers, and reset still gives a fresh model.
    fingerprint(model, fam)
    model.reset()
    assert fingerprint(model, fam) == fingerprint(LONG_CALLS[name](), fam)


# ---- plain-words argument errors --------------------------------------------------------------

def first_line(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value).splitlines()


@pytest.mark.parametrize("call, line", [
    (lambda: kc.NaiveBayes().learn_one({"a": 1.0}, "spam"),
     "NaiveBayes.learn_one: the class label must be an int, got str 'spam'"),
    (lambda: kc.LinearRegression().learn_one({"a": 1.0}, "3"),
     "LinearRegression.learn_one: the target must be a number, got str '3'"),
    (lambda: kc.HoeffdingTreeClassifier(grace_period="ten"),
     "HoeffdingTreeClassifier(): argument 'grace_period' must be an int, got str 'ten'"),
    (lambda: kc.NaiveBayes().predict_one([1.0, 2.0]),
     "NaiveBayes.predict_one: the record x must be a dict of feature name (str) to number, got list [1.0, 2.0]"),
    (lambda: kc.NaiveBayes().learn_one({1: 1.0}, 1), "the key 1 is an int"),
    (lambda: kc.NaiveBayes().learn_one({"a": "x"}, 1), "the value of 'a' is str 'x'"),
    (lambda: kc.NaiveBayes().learn_one({"a": 1.0}), "NaiveBayes.learn_one: missing the class label"),
    (lambda: kc.ARFClassifier(seed=-1), "ARFClassifier(): argument 'seed' must be a non-negative int, got int -1"),
    (lambda: kc.ARFClassifier(n_models=2**40), "argument 'n_models' must be an int that fits in 32 bits"),
    (lambda: kc.NaiveBayes().learn_one({"a": 1.0}, 2**70), "the class label must be an int that fits in 64 bits"),
    (lambda: kc.HoeffdingTreeClassifier(grace_perid=3), "HoeffdingTreeClassifier(): no parameter named 'grace_perid'"),
    (lambda: kc.ADWIN().reset(1), "ADWIN.reset: takes 0 arguments, got 1"),
    (lambda: setattr(kc.HoeffdingTreeClassifier(), "grace_period", 2.5),
     "HoeffdingTreeClassifier.grace_period: the value must be an int, got float 2.5"),
    (lambda: kavro.learn_many(kc.NaiveBayes(), [[1.0]], [1], n_jobs=1.5), "learn_many: n_jobs must be an int"),
])
def test_argument_errors_say_what_is_wrong_first(call, line):
    lines = first_line(call)
    assert line in lines[0]
    if "learn_many" not in line:  # pybind11's own lines follow
        assert "incompatible" in lines[1] and any(text.startswith("Invoked with") for text in lines)


@pytest.mark.parametrize("name,attr,how", [m for m in MEMBERS if m[2] != "get"],
                         ids=[f"{n}.{a}.{h}" for n, a, h in MEMBERS if h != "get"])
def test_every_method_and_setter_names_itself_and_the_wrong_value(name, attr, how):
    obj = make(name)
    args = sample_args(name, attr) if how == "call" else (None,)
    wrong = object()
    if how == "set":
        lines = first_line(lambda: setattr(obj, attr, wrong))
    elif args:
        lines = first_line(lambda: getattr(obj, attr)(wrong, *args[1:]))
    else:
        lines = first_line(lambda: getattr(obj, attr)(wrong))
    assert lines[0].split(":")[0].endswith(f".{attr}")  # the class defining it, then the member
    assert "got object <object object" in lines[0] or "takes 0 arguments, got 1" in lines[0]
    # Valid calls still reach the real overload, conversions included.
    invoke(name, attr, how, obj, make(name))


def test_converted_arguments_still_take_the_real_overload():
    ints, floats = kc.LinearRegression(), kc.LinearRegression()
    ints.learn_one({"a": 1}, 3)  # int feature value and int target: converted, not refused
    floats.learn_one({"a": 1.0}, 3.0)
    assert ints.predict_one({"a": 2}) == floats.predict_one({"a": 2.0})
    assert kc.HoeffdingTreeClassifier(split_confidence=1).split_confidence == 1.0


# ---- option strings -------------------------------------------------------------------------

OPTIONS = [  # (class, option, an accepted value, what other values select, constructor parameter?)
    ("HoeffdingTreeClassifier", "split_criterion", "gini", "info_gain", True),
    ("HoeffdingTreeClassifier", "leaf_prediction", "nb", "nba", False),
    ("EFDTClassifier", "leaf_prediction", "mc", "nba", False),
    ("HoeffdingAdaptiveTreeClassifier", "split_criterion", "gini", "info_gain", True),
    ("SRPClassifier", "training_method", "subspaces", "patches", True),
    ("SRPRegressor", "training_method", "resampling", "patches", True),
    ("FIMTDDRegressor", "leaf_prediction", "perceptron", "adaptive", True),
    ("LeveragingBaggingRegressor", "leaf_prediction", "mean", "adaptive", True),
    ("SGBTClassifier", "leaf_prediction", "mean", "adaptive", True),
    ("SGBRRegressor", "leaf_prediction", "perceptron", "adaptive", True),
]


@pytest.mark.parametrize("name,option,good,otherwise,in_constructor", OPTIONS)
def test_unrecognised_option_strings_warn_and_select_the_default(name, option, good, otherwise,
                                                                 in_constructor):
    pattern = rf"{option}='entropyy' is not a recognised value \(.*'{good}'"
    if in_constructor:
        make(name, **{option: good})  # accepted: no warning (warnings are errors here)
        with pytest.raises(UserWarning, match=pattern):  # as an error: nothing is built
            make(name, **{option: "entropyy"})
        with pytest.warns(UserWarning, match=rf"^{name}: {pattern}"):
            odd = make(name, **{option: "entropyy"})
        params = constructor_params(getattr(kc, name))
        position = [p.name for p in params].index(option)
        with pytest.warns(UserWarning, match="'x' is not a recognised value"):  # given by position
            getattr(kc, name)(*[p.default for p in params[:position]], "x")
        same = make(name, **{option: otherwise})
    else:
        odd, same = make(name), make(name)
        setattr(odd, option, good)
        with pytest.raises(UserWarning, match=pattern):  # a refused write keeps the old value
            setattr(odd, option, "entropyy")
        assert getattr(odd, option) == good
        with pytest.warns(UserWarning, match=pattern):
            setattr(odd, option, "entropyy")
        assert getattr(odd, option) == "entropyy"
        setattr(same, option, otherwise)
    assert fingerprint_after_training(odd, name) == fingerprint_after_training(same, name)


def test_every_string_option_of_every_class_is_checked():
    checked = {(n, o) for n, o, *_ in OPTIONS}
    for name in ALL:
        obj = make(name)
        strings = {p.name for p in constructor_params(getattr(kc, name)) if p.annotation == "str"}
        strings |= {attr for attr in dir(obj) if not attr.startswith("_")
                    and isinstance(getattr(type(obj), attr, None), property)
                    and isinstance(getattr(obj, attr), str)}
        for option in strings:
            assert (name, option) in checked or name == "EFDTClassifier", (name, option)
            with pytest.warns(UserWarning, match=f"{option}='zzz' is not a recognised value"):
                if option in {p.name for p in constructor_params(getattr(kc, name))}:
                    make(name, **{option: "zzz"})
                else:
                    setattr(obj, option, "zzz")


def fingerprint_after_training(obj, name):
    """The answers after training (the saved state holds the option string itself)."""
    train(obj, name, tie_free_stream(150))
    return fingerprint(obj, family(name))[:-1]


# ---- saved states: loading refuses what the constructors and setters refuse ---------------------

def replaced(model, old, new):
    """The saved state of model with its one field holding `old` (packed) set to `new`."""
    head, payload = split_state(kavro.dumps(model))
    assert payload.count(old) == 1
    return seal(head, payload.replace(old, new))


@pytest.mark.parametrize("name", BAGGING)
def test_loading_refuses_a_poisson_mean_the_constructor_refuses(name):
    model = make(name, lambda_value=6.25)
    for bad in (math.nan, math.inf, 0.0, -1.0, 2e9):
        with pytest.raises(ValueError, match="lambda_value is not a finite number"):
            kavro.loads(replaced(model, struct.pack("<d", 6.25), struct.pack("<d", bad)))


@pytest.mark.parametrize("name", ["ARFClassifier", "LeveragingBaggingClassifier"])
def test_loading_refuses_a_generator_that_only_gives_zeros(name):
    # The generator is the last field: 624 words, then the position.
    head, payload = split_state(kavro.dumps(make(name, lambda_value=12.0)))
    at = len(payload) - 624 * 4 - 4
    for first in (b"\x00\x00\x00\x00", b"\xff\xff\xff\x7f"):  # only the top bit of word 0 counts
        with pytest.raises(ValueError, match="random generator's state is all zero"):
            kavro.loads(seal(head, payload[:at] + first + bytes(623 * 4) + payload[-4:]))
    # The top bit alone is a working state (the one seeding falls back to): a large mean draws.
    model = kavro.loads(seal(head, payload[:at] + b"\x00\x00\x00\x80" + bytes(623 * 4) + payload[-4:]))
    train(model, name, tie_free_stream(5))


def test_loading_refuses_a_forest_without_members():
    head, payload = split_state(kavro.dumps(kc.ARFClassifier(n_models=3)))
    fixed = 4 + 4 + 8 + 4 + 8 + 8 + 8 + 4 + 4  # the parameters before the member list
    assert payload[fixed:fixed + 8] == struct.pack("<Q", 3)
    with pytest.raises(ValueError, match="an ensemble has no members"):
        kavro.loads(seal(head, payload[:fixed] + struct.pack("<Q", 0) + payload[-624 * 4 - 4:]))


def test_loading_cross_checks_a_window_metric_against_its_rings():
    m = kc.WindowMetric(4)
    for p, a in ((1, 1), (2, 1), (3, 3), (0, 2), (2, 2)):
        m.update(p, a)
    head, payload = split_state(kavro.dumps(m))
    assert payload[-24:-16] == struct.pack("<Q", 0)  # the per-label counts follow from the rings
    with pytest.raises(ValueError, match="correct count disagrees"):
        kavro.loads(seal(head, payload[:-8] + struct.pack("<q", struct.unpack("<q", payload[-8:])[0] - 1)))
    # Counts held in the state (per label: tp, fp, fn) load when they agree with the rings.
    counts = [(0, 1, 0), (0, 0, 1), (1, 1, 1), (1, 0, 0)]
    for held, ok in ((counts, True), (counts + [(0, 0, 0)], True), (counts[:3], False),
                     ([(0, 1, 0), (0, 0, 1), (2, 1, 1), (1, 0, 0)], False)):
        block = struct.pack("<Q", len(held)) + b"".join(struct.pack("<qqq", *c) for c in held)
        data = seal(head, payload[:-24] + block + payload[-16:])
        if ok:
            twin = kavro.loads(data)
            assert [twin.get(k) for k in range(2)] == [m.get(k) for k in range(2)]
        else:
            with pytest.raises(ValueError, match="class counts disagree"):
                kavro.loads(data)


@pytest.mark.parametrize("name", ["HoeffdingTreeClassifier", "EFDTClassifier"])
def test_n_split_points_is_bounded_everywhere(name):
    tree = make(name)
    with pytest.raises(ValueError, match="'n_split_points' must be less than or equal to 100000"):
        tree.n_split_points = 2**31 - 1
    assert tree.n_split_points == 10
    tree.n_split_points = -3  # examines none: allowed
    tree.n_split_points = 12345
    with pytest.raises(ValueError, match="n_split_points is above 100000"):
        kavro.loads(replaced(tree, struct.pack("<i", 12345), struct.pack("<i", 2**31 - 1)))


@pytest.mark.parametrize("cls", [kc.WindowMetric, kc.WindowRegressionMetric])
def test_metric_windows_are_bounded(cls):
    with pytest.raises(ValueError, match="'window_size' must be less than or equal to 100000000"):
        cls(2**31 - 1)
    assert cls(-5).get() == 0.0  # a window of 0 or less still ignores every update


def test_loading_refuses_sgt_and_knn_parameters_their_setters_refuse():
    for kwargs, field, bad, message in (
            ({"learning_rate": 0.375}, "<d", math.inf, "learning_rate"),
            ({"learning_rate": 0.375}, "<d", 0.0, "learning_rate"),
            ({"lambda_": 0.625}, "<d", -1.0, "lambda"),
            ({"lambda_": 0.625}, "<d", math.nan, "lambda")):
        model = kc.SGTClassifier(**kwargs)
        with pytest.raises(ValueError, match=message):
            kavro.loads(replaced(model, struct.pack(field, next(iter(kwargs.values()))), struct.pack(field, bad)))
    for cls in (kc.KNNClassifier, kc.KNNRegressor):
        with pytest.raises(ValueError, match="KNN p is below 1"):
            kavro.loads(replaced(cls(p=7), struct.pack("<i", 7), struct.pack("<i", 0)))


@pytest.mark.skipif(UNDER_ASAN, reason="the address sanitizer reserves its own shadow memory")
def test_a_forged_count_cannot_make_loading_reserve_far_beyond_the_input(tmp_path):
    head, payload = split_state(kavro.dumps(kc.ARFClassifier(n_models=1)))
    n = 4_000_000  # members claimed by about 4 MB of zeros; each member takes far more in memory
    fixed = 4 + 4 + 8 + 4 + 8 + 8 + 8 + 4 + 4
    path = tmp_path / "forged.kavro"
    path.write_bytes(seal(head, payload[:fixed] + struct.pack("<Q", n) + bytes(n)))
    code = (
        "import resource, kavro\n"
        "vm = [int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmSize:')][0]\n"
        "resource.setrlimit(resource.RLIMIT_AS, (vm * 1024 + (384 << 20), resource.RLIM_INFINITY))\n"
        "try:\n"
        f"    kavro.load({str(path)!r})\n"
        "except ValueError as exc:\n"
        "    print('ValueError', exc)\n"
        "except MemoryError:\n"
        "    print('MemoryError')\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.startswith("ValueError") and "corrupt state" in out, out
