"""Careless and hostile callers: every method and property of every class refuses a self that is
None, of another class or never constructed; __init__ runs once; refused operations, failed
allocations and interrupted calls leave objects usable and unchanged where promised."""

import contextlib
import os
import signal

import pytest

import _kavro_core as kc
import kavro

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
