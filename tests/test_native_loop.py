"""The native evaluation loop with delays, windows, any measure and anomaly detectors, and the CSV
engine over sources read once (pipes, FIFOs, files replaced while read)."""

import inspect
import os
import re
import subprocess
import sys
import threading

import numpy as np
import pytest

import _kavro_core as kc
from kavro import _blocks, _native, evaluate
from kavro.evaluate import progressive_val_score
from kavro.stream import StreamError, iter_array, iter_csv

DATA = "/work/shared/data"
ELECTRICITY = os.path.join(DATA, "electricity.csv")


def scores(ev):
    return [{k: v for k, v in row.items() if k not in ("elapsed", "throughput")} for row in ev.rows]


def python_loop(stream):
    return (pair for pair in stream)


def blob_data(n, seed, labels=3):
    rng = np.random.default_rng(seed)
    y = rng.integers(0, labels, n)
    X = rng.normal(size=(n, 4)) + y[:, None] * 0.7
    X[rng.random(X.shape) < 0.1] = np.nan
    return X, y


def both_loops(make_stream, make_model, make_metrics, **options):
    """Scores and end state of the native loop and of the Python loop over the same stream."""
    runs = []
    for stream in (make_stream(), python_loop(make_stream())):
        model = make_model()
        ev = progressive_val_score(stream, model, make_metrics(), progress=False, **options)
        runs.append((scores(ev), ev.n, model.predict_proba_one({"x0": 0.5, "x1": -1.0})
                     if hasattr(model, "predict_proba_one") else model.predict_one({"x0": 0.5})))
    return runs


# ---------------------------------------------------------------------------------------------
# Delays and windows run natively, with the results of the Python loop


@pytest.mark.parametrize("name", ["NaiveBayes", "HoeffdingTreeClassifier", "HoeffdingAdaptiveTreeClassifier",
                                  "ARFClassifier"])
@pytest.mark.parametrize("delay,window", [(0, None), (0, 40), (25, None), (7, 60)])
def test_classifiers_with_delay_and_window(name, delay, window):
    X, y = blob_data(900, 1)
    options = dict(n_models=3, seed=2) if name == "ARFClassifier" else {}
    fast, slow = both_loops(lambda: iter_array(X, y), lambda: getattr(kc, name)(**options),
                            lambda: [kc.Accuracy(), kc.MacroF1(), kc.WindowMetric(30), kc.MAE()],
                            every=113, delay=delay, window=window, n_jobs=2 if options else 1)
    assert fast == slow


@pytest.mark.parametrize("delay,window", [(0, 50), (13, None), (3, 25)])
def test_regressors_with_delay_and_window(delay, window):
    rng = np.random.default_rng(3)
    X = rng.normal(size=(700, 3))
    y = X @ np.array([1.0, -2.0, 0.5]) + rng.normal(size=700)
    for name in ("LinearRegression", "HoeffdingTreeRegressor"):
        fast, slow = both_loops(lambda: iter_array(X, y, feature_names=["x0", "x1", "x2"]), getattr(kc, name),
                                lambda: [kc.MAE(), kc.RMSE(), kc.R2(), kc.WindowRegressionMetric(20)],
                                every=97, n=650, delay=delay, window=window)
        assert fast == slow


def test_csv_with_delay_and_window_and_a_late_handover(tmp_path):
    # Integer targets past what doubles hold exactly leave the engine, then the native loop
    # (their block holds Python ints): the Python loop goes on with the labels still waiting.
    lines = ["a,b,y"] + [f"{i % 17}.5,{i % 5},{i % 9}" for i in range(3000)]
    lines[2200] = "1.5,2,123456789012345678901234567890"
    path = tmp_path / "late.csv"
    path.write_text("\n".join(lines))
    for delay, window in [(0, 30), (40, None), (11, 70)]:
        runs = []
        for make in (lambda: iter_csv(str(path), "y", target_type="int"),
                     lambda: python_loop(iter_csv(str(path), "y", target_type="int"))):
            model = kc.LinearRegression()
            ev = progressive_val_score(make(), model, [kc.MAE(), kc.RMSE()], every=500, delay=delay,
                                       window=window, progress=False)
            runs.append((scores(ev), ev.n, model.predict_one({"a": 1.0, "b": 2.0})))
        assert runs[0] == runs[1]


def late_handover_file(tmp_path, rows=3000):
    """A CSV file whose example 2200 holds a target past what doubles hold: the native loop hands
    over to the Python loop there."""
    lines = ["a,b,y"] + [f"{i % 17}.5,{i % 5},{i % 9}" for i in range(rows)]
    lines[2200] = "1.5,2,123456789012345678901234567890"
    path = tmp_path / "late.csv"
    path.write_text("\n".join(lines))
    return str(path)


@pytest.mark.parametrize("n", [2650, 2500])
def test_the_limit_cuts_the_python_loop_after_a_handover(tmp_path, n):
    path = late_handover_file(tmp_path)
    runs = []
    for make in (lambda: iter_csv(path, "y", target_type="int"),
                 lambda: python_loop(iter_csv(path, "y", target_type="int"))):
        model, seen = kc.LinearRegression(), []
        ev = progressive_val_score(make(), model, [kc.MAE(), kc.RMSE()], every=500, n=n, delay=11, window=70,
                                   progress=False, on_checkpoint=lambda row: seen.append(row["step"]))
        runs.append((scores(ev), ev.n, seen, model.predict_one({"a": 1.0, "b": 2.0})))
    assert runs[0] == runs[1]
    assert runs[0][1] == n and runs[0][2] == [500, 1000, 1500, 2000, 2500, 2650][:5 + (n % 500 != 0)]


def test_an_error_in_the_python_loop_after_a_handover_ends_the_run(tmp_path, monkeypatch):
    made, plans = [], []

    class Kept(evaluate.Evaluation):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            made.append(self)

    plan = evaluate._native_plan
    monkeypatch.setattr(evaluate, "Evaluation", Kept)
    monkeypatch.setattr(evaluate, "_native_plan", lambda *args: plans.append(plan(*args)) or plans[-1])

    def stop(row):
        if row["step"] == 2500:  # after the handover at 2200, with rows left to read
            raise RuntimeError("stopped")

    path = late_handover_file(tmp_path)
    with pytest.raises(RuntimeError, match="stopped"):
        progressive_val_score(iter_csv(path, "y", target_type="int"), kc.LinearRegression(), kc.MAE(),
                              every=500, delay=7, window=20, progress=False, on_checkpoint=stop)
    assert inspect.getgeneratorstate(plans[0][1]) == inspect.GEN_CLOSED  # the reader stopped
    assert made[0].n == 2500 and made[0].elapsed > 0 and made[0].rows[-1]["step"] == 2500


class CountingBar:
    """Stands for the progress bar: the examples it was told of, and whether it was closed."""

    def __init__(self):
        self.count, self.closed = 0, False

    def update(self, k):
        self.count += k

    def set_postfix(self, *args, **kwargs):
        pass

    def close(self):
        self.closed = True


@pytest.mark.parametrize("every,n", [(500, None), (300, 2777), (1000, 2100)])
def test_the_bar_counts_each_example_once_across_a_handover(tmp_path, monkeypatch, every, n):
    bars = []
    monkeypatch.setattr(evaluate, "_progress_bar", lambda *args: bars.append(CountingBar()) or bars[-1])
    path = late_handover_file(tmp_path)
    for make in (lambda: iter_csv(path, "y", target_type="int"), lambda: python_loop(iter_csv(path, "y", target_type="int"))):
        ev = progressive_val_score(make(), kc.LinearRegression(), kc.MAE(), every=every, n=n, progress=True)
        assert bars[-1].count == ev.n == (n or 3000) and bars[-1].closed
    with pytest.raises(AttributeError):  # no learn_one: refused, and no bar left open
        progressive_val_score(iter_csv(path, "y"), object(), kc.MAE(), progress=True)
    assert all(bar.closed for bar in bars)


def test_csv_classification_with_delay_matches_the_python_loop():
    make = lambda: iter_csv(ELECTRICITY, "class")  # noqa: E731
    fast, slow = both_loops(make, kc.HoeffdingTreeClassifier, lambda: [kc.Accuracy(), kc.MacroRecall()],
                            every=4000, n=12000, delay=100, window=500)
    assert fast == slow


# ---------------------------------------------------------------------------------------------
# Measures of probabilities and scores, and anomaly detectors


@pytest.fixture
def testing(monkeypatch):
    kt = pytest.importorskip("_kavro_testing")
    kt.loop_objects()
    monkeypatch.setattr(evaluate, "_NATIVE_MODULES", (*evaluate._NATIVE_MODULES, "_kavro_testing"))
    return kt


def manual_run(stream, model, measures, delay, score):
    """The test-then-train loop written out: said(x) on arrival, update(y, said) and learn later."""
    waiting = []
    for x, y in stream:
        waiting.append((x, y, score(model, x)))
        if len(waiting) > delay:
            x, y, said = waiting.pop(0)
            for update in measures:
                update(y, said)
            model.learn_one(x, y) if hasattr(model, "predict_one") else model.learn_one(x)


@pytest.mark.parametrize("delay", [0, 9])
def test_proba_and_score_measures_of_a_classifier(testing, delay):
    X, y = blob_data(600, 4, labels=2)
    proba, score = testing.Summing(True), testing.Summing(False)
    model = kc.HoeffdingTreeClassifier(grace_period=50)
    ev = progressive_val_score(iter_array(X, y), model, [proba, score, kc.Accuracy()], every=600,
                               delay=delay, progress=False)
    ref_proba, ref_score, ref_model = testing.Summing(True), testing.Summing(False), kc.HoeffdingTreeClassifier(grace_period=50)
    manual_run(iter_array(X, y), ref_model,
               [lambda t, p: ref_proba.update_proba(t, p), lambda t, p: ref_score.update_score(t, p.get(1, 0.0))],
               delay, lambda m, x: m.predict_proba_one(x))
    assert [ev.final["Summing"], ev.final["Summing_2"]] == [ref_proba.get(), ref_score.get()]
    assert model.predict_proba_one({"x0": 1.0}) == ref_model.predict_proba_one({"x0": 1.0})


@pytest.mark.parametrize("delay,window", [(0, None), (5, None), (3, 40)])
def test_anomaly_detectors_run_natively(testing, delay, window):
    rng = np.random.default_rng(5)
    X = rng.normal(size=(500, 2))
    y = (np.abs(X[:, 0]) > 1.5).astype(np.int64)
    detector = testing.MeanDistance()
    ev = progressive_val_score(iter_array(X, y, feature_names=["a", "b"]), detector, [testing.Summing(False)],
                               every=100, delay=delay, window=window, progress=False)
    assert [r["step"] for r in ev.rows] == [100, 200, 300, 400, 500]
    ref, reference = testing.Summing(False), testing.MeanDistance()
    manual_run(iter_array(X, y, feature_names=["a", "b"]), reference,
               [lambda t, s: ref.update_score(t, s)], delay, lambda m, x: m.score_one(x))
    assert ev.final["Summing"] == ref.get()
    assert detector.score_one({"a": 0.7}) == reference.score_one({"a": 0.7})
    if window:
        recent = testing.Summing(False)
        kept, reference = [], testing.MeanDistance()
        waiting = []
        for x, t in iter_array(X, y, feature_names=["a", "b"]):
            waiting.append((x, t, reference.score_one(x)))
            if len(waiting) > delay:
                x, t, s = waiting.pop(0)
                kept.append((t, s))
                reference.learn_one(x)
        for t, s in kept[-window:]:
            recent.update_score(t, s)
        assert ev.final["Summing (last 40)"] == recent.get()


def test_measures_that_do_not_fit_the_model_are_refused():
    with pytest.raises(TypeError, match="label metric"):
        _native.Prequential(kc.LinearRegression(), [kc.Accuracy()])
    with pytest.raises(TypeError, match="is not a measure"):
        _native.Prequential(kc.NaiveBayes(), [object()])


# ---------------------------------------------------------------------------------------------
# Sources read once


def feed(path, data):
    """Writes data into a FIFO or pipe end on a thread of its own."""
    def write():
        with open(path, "wb") as fh:
            fh.write(data)
    thread = threading.Thread(target=write, daemon=True)
    thread.start()
    return thread


def outcome(make_stream, **options):
    model, metric = kc.HoeffdingTreeClassifier(), kc.Accuracy()
    try:
        ev = progressive_val_score(make_stream(), model, metric, every=700, progress=False, **options)
        result = scores(ev)
    except StreamError as exc:
        result = str(exc)
    return result, model.predict_proba_one({"a": 0.5, "b": 2.0})


@pytest.mark.parametrize("edit", [None, (1500, '"1500.5",3,1'), (1700, "1700.5,x,1"), (900, "900.5,2,"),
                                  (2000, "2000.5,3,caf\u00e9")])
def test_a_fifo_is_read_once_with_the_rows_and_errors_of_the_file(tmp_path, edit):
    lines = ["a,b,y"] + [f"{i}.5,{i % 7},{i % 3}" for i in range(3000)]
    if edit:
        lines[edit[0]] = edit[1]
    data = "\n".join(lines).encode()
    path = tmp_path / "data.csv"
    path.write_bytes(data)
    fifo = str(tmp_path / "fifo.csv")
    os.mkfifo(fifo)
    writer = feed(fifo, data)
    from_fifo = outcome(lambda: iter_csv(fifo, "y"))
    writer.join()
    from_file = outcome(lambda: iter_csv(str(path), "y"))
    if isinstance(from_file[0], str):  # the same error, naming the FIFO
        assert from_fifo[0] == from_file[0].replace(str(path), fifo)
        assert from_fifo[1] == from_file[1]
    else:
        assert from_fifo == from_file


def test_the_command_line_reads_a_pipe(tmp_path, capsys):
    from kavro import cli

    r, w = os.pipe()
    with open(ELECTRICITY, "rb") as fh:
        data = fh.read()
    writer = feed(w, data[:data.index(b"\n", 400_000) + 1])
    code = cli.main(["evaluate", "--model", "NaiveBayes", "--csv", f"/dev/fd/{r}", "--target", "class",
                     "--format", "json"])
    writer.join()
    os.close(r)
    out = capsys.readouterr().out
    assert code == 0 and '"step"' in out


def test_the_command_line_reads_standard_input_once(tmp_path):
    with open(ELECTRICITY, "rb") as fh:
        data = fh.read()
    data = data[:data.index(b"\n", 200_000) + 1]
    path = tmp_path / "part.csv"
    path.write_bytes(data)
    command = [sys.executable, "-m", "kavro", "evaluate", "--target", "class", "--format", "json",
               "--model", "NaiveBayes", "--no-progress"]
    piped = subprocess.run([*command, "--csv", "-"], input=data, capture_output=True, check=True)
    from_file = subprocess.run([*command, "--csv", str(path)], capture_output=True, check=True)
    strip = re.compile(rb'"(elapsed|throughput)": [^,}\n]*')
    assert strip.sub(b"", piped.stdout) == strip.sub(b"", from_file.stdout)
    two = subprocess.run([*command, "--model", "HoeffdingTreeClassifier", "--csv", "-"], input=data,
                         capture_output=True, text=False)
    assert two.returncode == 2 and b"read once" in two.stderr


def test_a_file_replaced_while_read_yields_its_own_rows(tmp_path, monkeypatch):
    monkeypatch.setattr(_blocks, "_ENGINE_BLOCK", 100)
    lines = ["a,y"] + [f"{i},{i % 2}" for i in range(30000)]
    lines[25000] = '"25000",0'  # the engine stops here, long after the first blocks
    path = tmp_path / "data.csv"
    path.write_text("\n".join(lines))
    expected = list(iter_csv(str(path), "y"))
    blocks = iter_csv(str(path), "y").chunks(100)
    got = [next(blocks)]
    other = tmp_path / "other.csv"
    other.write_text("a,y\n" + "7,1\n" * 40000)
    os.replace(other, path)
    got.extend(blocks)
    records = [(dict(zip(names, row)), t) for X, y, names in got for row, t in zip(X.tolist(), y.tolist())]
    assert records == expected


def test_a_csv_evaluation_imports_no_numpy():
    code = ("import sys, _kavro_core as kc\n"
            "from kavro.evaluate import progressive_val_score\n"
            "from kavro.stream import iter_csv\n"
            f"ev = progressive_val_score(iter_csv({ELECTRICITY!r}, 'class'), kc.NaiveBayes(), progress=False)\n"
            "assert ev.n == 45312, ev.n\n"
            "print('numpy' in sys.modules)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "False"


@pytest.mark.parametrize("late", [None, '"1.5"5,2,x', '1.5,2,"x""y"', '1.5,2,"x\ny"', '1.5,2,x"y', '"1.5" ,2,x'])
def test_quoted_fields_read_as_the_stream_reads_them(tmp_path, monkeypatch, late):
    monkeypatch.setattr(_blocks, "_ENGINE_BLOCK", 50)
    lines = ['"a","b, c","y"'] + [f'"{i}.5",{i % 7},"{"xyz"[i % 3]}"' if i % 2 else f'{i}.5,"{i % 7}",z'
                                  for i in range(600)]
    if late:
        lines[450] = late
    path = tmp_path / "quoted.csv"
    path.write_text("\n".join(lines) + "\n")
    stream = iter_csv(str(path), "y")
    rows = list(stream)
    blocks = list(iter_csv(str(path), "y").chunks())
    assert [(dict((n, v) for n, v in zip(names, x) if v == v), t)
            for X, y, names in blocks for x, t in zip(X.tolist(), y.tolist())] == rows
    engine = _native.CsvEngine(os.fsencode(str(path)))
    assert engine.header() == lines[0].encode()
    engine.start(",", 3, [0, 1], 2, "label", 1000, 100)
    read = 0
    while (block := engine.next()) is not None:
        read += len(block)
    assert read == (600 if late is None else 449)  # quoted whole: the engine's; the rest: not


# ---------------------------------------------------------------------------------------------
# Open file objects as sources


class OneWay:
    """A binary file object that cannot seek, handing out at most `piece` bytes per read."""

    def __init__(self, data, piece=4096, fail_at=None):
        self.data, self.at, self.piece, self.fail_at = data, 0, piece, fail_at
        self.closed = False

    def read(self, n=-1):
        if self.fail_at is not None and self.at >= self.fail_at:
            raise OSError("connection reset")
        n = len(self.data) - self.at if n is None or n < 0 else min(n, self.piece)
        out = self.data[self.at:self.at + n]
        self.at += len(out)
        return out

    def readline(self, n=-1):  # present so that iter_stream takes it as a file
        raise AssertionError("read through read()")

    def seekable(self):
        return False


def file_objects(data):
    import io

    return {"bytes": lambda: io.BytesIO(data), "one way": lambda: OneWay(data),
            "text": lambda: io.StringIO(data.decode("utf-8", "surrogateescape"), newline="")}


@pytest.mark.parametrize("kind", ["bytes", "one way", "text"])
@pytest.mark.parametrize("edit", [None, (1500, '"1500.5",3,1'), (1700, "1700.5,x,1"), (900, "900.5,2,"),
                                  (2000, "2000.5,3,caf\u00e9"), (2100, "2100.5,3,\udce9t\udce9")])
def test_a_file_object_is_read_with_the_rows_and_errors_of_the_file(tmp_path, monkeypatch, kind, edit):
    monkeypatch.setattr(_blocks, "_ENGINE_BLOCK", 256)
    lines = ["a,b,y"] + [f"{i}.5,{i % 7},{i % 3}" for i in range(3000)]
    if edit:
        lines[edit[0]] = edit[1]
    data = "\n".join(lines).encode("utf-8", "surrogateescape")
    path = tmp_path / "data.csv"
    path.write_bytes(data)
    from_file = outcome(lambda: iter_csv(str(path), "y"))
    from_object = outcome(lambda: iter_csv(file_objects(data)[kind](), "y"))
    if isinstance(from_file[0], str):
        if edit[0] == 2100 and kind == "text":  # text given whole: no decoding error, a label instead
            assert isinstance(from_object[0], str) and "cannot convert" in from_object[0]
        elif edit[0] == 2100:  # found in the chunk that holds the bytes, wherever the chunks fall
            assert re.fullmatch(r"<file object>, line \d+ or soon after: not utf-8 text .*", from_object[0])
        else:
            assert from_object[0] == from_file[0].replace(str(path), "<file object>")
            assert from_object[1] == from_file[1]
    else:
        assert from_object == from_file
    # The same pairs, block by block, as the object's own iteration (engine and reader agree)
    try:
        expected = list(iter_csv(file_objects(data)[kind](), "y", target_type="label"))
    except StreamError:
        return
    got = [(dict((n, v) for n, v in zip(names, x) if v == v), t)
           for X, y, names in iter_csv(file_objects(data)[kind](), "y", target_type="label").chunks(100)
           for x, t in zip(X.tolist(), y.tolist())]
    assert got == expected


def test_a_file_object_is_read_once_or_again_from_where_it_stood(tmp_path):
    import io

    with open(ELECTRICITY, "rb") as fh:
        data = fh.read()
    head = b"skipped line\n"
    seekable = io.BytesIO(head + data)
    seekable.readline()
    stream = iter_csv(seekable, "class")
    assert evaluate.stream_length(stream) is None and seekable.tell() == len(head)  # not consumed
    first = scores(progressive_val_score(stream, kc.NaiveBayes(), progress=False))
    assert first == scores(progressive_val_score(stream, kc.NaiveBayes(), progress=False))
    assert first == scores(progressive_val_score(iter_csv(ELECTRICITY, "class"), kc.NaiveBayes(), progress=False))
    assert not seekable.closed  # the caller's object stays the caller's

    once = iter_csv(OneWay(data), "class")
    assert sum(1 for _ in once) == 45312
    with pytest.raises(StreamError, match="read once"):
        list(once)
    with pytest.raises(StreamError, match="read once"):
        next(once.chunks())
    import gzip

    with gzip.open(io.BytesIO(gzip.compress(data)), "rb") as gz:  # named by nothing; read as it is
        assert len(list(iter_csv(gz, "class"))) == 45312


def test_a_failing_or_non_blocking_file_object_raises_its_error(tmp_path):
    lines = ["a,b,y"] + [f"{i}.5,{i % 7},{i % 3}" for i in range(20000)]
    data = "\n".join(lines).encode()
    for make in (lambda: iter_csv(OneWay(data, fail_at=150_000), "y"),
                 lambda: python_loop(iter_csv(OneWay(data, fail_at=150_000), "y"))):
        model = kc.NaiveBayes()
        with pytest.raises(OSError, match="connection reset"):
            progressive_val_score(make(), model, progress=False)
    # The rows before the failure were learnt by both loops alike
    states = []
    for make in (lambda s: s, python_loop):
        model = kc.NaiveBayes()
        with pytest.raises(OSError):
            progressive_val_score(make(iter_csv(OneWay(data, fail_at=150_000), "y")), model, progress=False)
        states.append(model.predict_proba_one({"a": 3.5, "b": 2.0}))
    assert states[0] == states[1]

    class NonBlocking(OneWay):
        def read(self, n=-1):
            return None if self.at else super().read(n)

    with pytest.raises((StreamError, TypeError), match="non-blocking"):
        list(iter_csv(NonBlocking(data), "y").chunks())
    with pytest.raises((StreamError, TypeError), match="bytes or text"):
        iter_csv(type("Odd", (), {"read": lambda self, n=-1: 42})(), "y")


def test_a_source_the_engine_cannot_take_is_still_read_once(tmp_path):
    lines = ["a;b;y"] + [f"{i}.5;{i % 7};{i % 3}" for i in range(2000)]
    data = "\n".join(lines).encode("utf-16")
    path = tmp_path / "data.csv"
    path.write_bytes(data)
    expected = outcome(lambda: iter_csv(str(path), "y", delimiter=";", encoding="utf-16"))
    assert outcome(lambda: iter_csv(OneWay(data), "y", delimiter=";", encoding="utf-16")) == expected
    fifo = str(tmp_path / "fifo.csv")
    os.mkfifo(fifo)
    writer = feed(fifo, data)
    assert outcome(lambda: iter_csv(fifo, "y", delimiter=";", encoding="utf-16")) == expected
    writer.join()
