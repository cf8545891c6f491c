import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _kavro_core as kc
from kavro import cli
from kavro._registry import CATALOG, available, parse_signature

HAS_TREE = hasattr(kc, "HoeffdingTreeClassifier")


# Under the sanitizer pass (scripts/test.sh preloads the ASan runtime) matplotlib's native code aborts
# on import; the plotting tests run in the release pass only.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def need_matplotlib():
    if SANITIZED:
        pytest.skip("matplotlib does not load under the sanitizer runtime")
    pytest.importorskip("matplotlib")


def run(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def fails(capsys, *argv):
    with pytest.raises(SystemExit) as info:
        cli.main(list(argv))
    out, err = capsys.readouterr()
    return info.value.code, out, err


class Fake:
    """Stands in for a bound class: the signature lives in the docstring only."""

    def __init__(self, **kwargs):
        self.kwargs = kwargs

    __init__.__doc__ = (
        "__init__(self: _kavro_core.Fake, grace_period: typing.SupportsInt | typing.SupportsIndex = 200, "
        "split_confidence: typing.SupportsFloat | typing.SupportsIndex = 1e-07, "
        "split_criterion: str = 'info_gain', drift_detection: bool = True) -> None\n\nA fake.\n"
    )


class TestParameters:
    def test_signature_is_read_from_the_docstring(self):
        params = parse_signature(Fake.__init__.__doc__)
        assert [(p.name, p.default, p.type) for p in params] == [
            ("grace_period", 200, int), ("split_confidence", 1e-07, float),
            ("split_criterion", "info_gain", str), ("drift_detection", True, bool)]
        assert parse_signature(kc.NaiveBayes.__init__.__doc__) == []
        assert parse_signature(None) == []

    def test_values_are_typed_by_the_constructor(self):
        obj = cli.build(Fake, ["grace_period=50", "split_confidence=1e-3", "split_criterion=gini",
                               "drift_detection=no"], "model")
        assert obj.kwargs == {"grace_period": 50, "split_confidence": 0.001, "split_criterion": "gini",
                              "drift_detection": False}
        assert type(obj.kwargs["split_confidence"]) is float

    @pytest.mark.parametrize("assignment, message", [
        ("grace_period=1.5", r"invalid value '1\.5' for Fake parameter 'grace_period' \(expected an integer\)"),
        ("split_confidence=tiny", r"invalid value 'tiny' .* \(expected a number\)"),
        ("drift_detection=maybe", r"expected true or false"),
        ("depth=3", r"Fake has no parameter 'depth' \(parameters: grace_period, split_confidence, "),
        ("grace_period", r"invalid parameter 'grace_period' \(expected key=value\)"),
    ])
    def test_bad_values_are_usage_errors(self, assignment, message):
        with pytest.raises(cli.CLIError, match=message):
            cli.build(Fake, [assignment], "model")

    @pytest.mark.skipif(not HAS_TREE, reason="HoeffdingTreeClassifier not built yet")
    def test_real_constructor_receives_typed_values(self):
        tree = cli.build(kc.HoeffdingTreeClassifier, ["grace_period=50", "split_criterion=gini"], "model")
        assert tree.grace_period == 50 and tree.split_criterion == "gini"


class TestList:
    def test_every_class_with_its_signature(self, capsys):
        code, out, _ = run(capsys, "list")
        assert code == 0
        for name in available():
            assert f"  {name}(" in out
        assert "  NaiveBayes()\n" in out and "kavro.linear\n" in out
        missing = [n for n in CATALOG if n not in available()]
        assert ("not in this build" in out) == bool(missing)

    @pytest.mark.skipif(not HAS_TREE, reason="HoeffdingTreeClassifier not built yet")
    def test_defaults_are_shown(self, capsys):
        _, out, _ = run(capsys, "list", "--kind", "classifier")
        assert ("HoeffdingTreeClassifier(grace_period=200, split_confidence=1e-07, tie_threshold=0.05, "
                "nb_threshold=0, max_depth=20, split_criterion='info_gain')") in out

    def test_version(self, capsys):
        code, out, _ = fails(capsys, "--version")
        assert code == 0 and out.startswith("kavro 0.")

    def test_kind_filter_and_streams(self, capsys):
        _, out, _ = run(capsys, "list", "--kind", "transformer")
        assert "NaiveBayes" not in out
        code, out, _ = run(capsys, "list", "-v")
        assert code == 0 and "__init__(" not in out and "self:" not in out
        _, out, _ = run(capsys, "list", "--streams")
        assert "sea:variant=0, noise=0.0, seed=42" in out and "friedman:" in out
        assert "electricity\n    Electricity: " in out and "fried\n    FriedmanFile: " in out


class TestEvaluate:
    def test_table_rows(self, capsys):
        code, out, _ = run(capsys, "evaluate", "--model", "NaiveBayes", "--stream", "sea:noise=0.1",
                           "--seed", "3", "--n", "2500", "--every", "1000", "--no-progress")
        assert code == 0
        lines = out.splitlines()
        assert lines[0].split() == ["model", "step", "Accuracy", "KappaT", "elapsed", "throughput"]
        assert [line.split()[1] for line in lines[1:]] == ["1000", "2000", "2500"]

    def test_json_matches_the_library_run(self, capsys):
        from kavro.datasets import SEA
        from kavro.evaluate import progressive_val_score
        from kavro.cli import build_metric

        code, out, _ = run(capsys, "evaluate", "--model", "NaiveBayes", "--stream", "sea:variant=2",
                           "--seed", "5", "--n", "900", "--every", "300", "--format", "json")
        assert code == 0
        (entry,) = json.loads(out)
        expected = progressive_val_score(SEA(variant=2, seed=5), kc.NaiveBayes(),
                                         build_metric("Accuracy", "classifier"), every=300, n=900)
        assert entry["model"] == "NaiveBayes"
        assert [(r["step"], r["Accuracy"]) for r in entry["rows"]] == [
            (r["step"], r["Accuracy"]) for r in expected.rows]

    def test_comparison_csv_and_plot(self, capsys, tmp_path):
        need_matplotlib()
        png = tmp_path / "cmp.png"
        code, out, err = run(capsys, "evaluate", "--model", "NaiveBayes", "--model", "NaiveBayes",
                             "--stream", "agrawal:function=1", "--drift-to", "agrawal:function=4",
                             "--drift-at", "300", "--n", "600", "--every", "200", "--format", "csv",
                             "--plot", str(png))
        assert code == 0 and png.read_bytes()[:4] == b"\x89PNG"
        rows = out.splitlines()
        assert rows[0] == "model,step,Accuracy,KappaT,elapsed,throughput"
        assert [r.split(",")[0] for r in rows[1:]] == ["NaiveBayes"] * 3 + ["NaiveBayes #2"] * 3
        assert "plot written" in err

    def test_csv_source(self, capsys, tmp_path):
        path = tmp_path / "d.csv"
        path.write_text("a,b,label\n" + "".join(f"{i % 7},{i % 3},{'yes' if i % 2 else 'no'}\n"
                                                 for i in range(50)))
        code, out, _ = run(capsys, "evaluate", "--model", "NaiveBayes", "--csv", str(path),
                           "--target", "label", "--every", "20")
        assert code == 0
        assert [line.split()[1] for line in out.splitlines()[1:]] == ["20", "40", "50"]

    def test_threads_change_no_figure(self, capsys, tmp_path):
        path = tmp_path / "d.csv"
        path.write_text("a,b,label\n" + "".join(f"{i % 7},{(i * i) % 5},{(i // 3) % 2}\n" for i in range(400)))
        outs = []
        for threads in ("1", "2"):
            code, out, _ = run(capsys, "evaluate", "--model", "ARFClassifier:n_models=4", "--csv", str(path),
                               "--target", "label", "--every", "100", "--format", "csv", "--threads", threads)
            assert code == 0
            outs.append([line.rsplit(",", 2)[0] for line in out.splitlines()])
        assert outs[0] == outs[1] and len(outs[0]) == 5

    @pytest.mark.parametrize("argv, message", [
        (["--model", "Nope", "--stream", "sea"], "unknown model 'Nope'"),
        (["--model", "NaiveByes", "--stream", "sea"], "did you mean NaiveBayes"),
        (["--model", "NaiveBayes", "--stream", "seas"], "unknown stream 'seas'; did you mean sea"),
        (["--model", "NaiveBayes", "--stream", "sea:variant=x"],
         r"invalid value 'x' for stream 'sea' option 'variant' \(expected an integer\)"),
        (["--model", "NaiveBayes", "--stream", "sea:colour=1"], "stream 'sea' has no option 'colour'"),
        (["--model", "NaiveBayes", "--stream", "sea:variant=7"], "stream 'sea': variant must be"),
        (["--model", "NaiveBayes", "--stream", "sea", "--param", "alpha=1"],
         r"NaiveBayes has no parameter 'alpha' \(parameters: none\)"),
        (["--model", "NaiveBayes", "--stream", "friedman"], "is a regression stream, but the model is a classifier"),
        (["--model", "NaiveBayes", "--stream", "sea", "--metric", "Bogus"], "unknown metric 'Bogus'"),
        (["--model", "NaiveBayes", "--stream", "sea", "--metric", "MAE"], "metric MAE scores a regressor"),
        (["--model", "NaiveBayes", "--stream", "sea", "--every", "0"], "--every must be at least 1"),
        (["--model", "NaiveBayes", "--stream", "sea", "--target", "y"], "--target applies to --csv only"),
        (["--model", "NaiveBayes", "--csv", "/nonexistent/x.csv", "--target", "y"], "cannot read /nonexistent"),
        (["--model", "NaiveBayes", "--csv", "x.csv"], "--csv needs --target"),
        (["--model", "NaiveBayes", "--stream", "sea", "--drift-at", "5"], "--drift-at needs --drift-to"),
        (["--model", "IClassifier", "--stream", "sea"], "unknown model 'IClassifier'"),
        (["--model", "NaiveBayes", "--stream", "sea", "--drift-to", "friedman"],
         "cannot drift from a classification stream to a regression stream"),
        (["--model", "NaiveBayes", "--stream", "sea", "--plot", "out.txt"], r"must end in \.png, \.svg or \.pdf"),
        (["--model", "NaiveBayes", "--stream", "sea", "--plot", "/nonexistent/x.png"], "no folder '/nonexistent'"),
        (["--model", "NaiveBayes", "--stream", "sea", "--categorical", "day"], "--categorical applies to --csv only"),
        (["--model", "NaiveBayes", "--stream", "electricity:x=1"], "recorded dataset; it takes no options"),
        (["--model", "NaiveBayes", "--stream", "fried"], "is a regression stream, but the model is a classifier"),
        (["--model", "NaiveBayes", "--stream", "sea", "--delay", "-1"], "--delay must be at least 0"),
        (["--model", "NaiveBayes", "--stream", "sea", "--window", "0"], "--window must be at least 1"),
        (["--model", "NaiveBayes", "--stream", "sea", "--threads", "0"], "--threads must be at least 1"),
        (["--model", "HoeffdingTreeClassifier:split_criterion=bogus", "--stream", "sea"],
         r"HoeffdingTreeClassifier: split_criterion='bogus' is not a recognised value \('gini', 'info_gain'\)"),
        (["--model", "NaiveBayes", "--stream", "hyperplane:n_features=99999999999"],
         "n_features must be from 1 to 100,000"),
        (["--model", "NaiveBayes", "--csv", "/dev/zero", "--target", "y"], "/dev/zero, line 1: longer than"),
        (["--model", "NaiveBayes", "--stream", "sea", "--ray", "bogus.invalid:1"],
         r"--ray bogus\.invalid:1: cannot reach the cluster's head"),
    ])
    def test_usage_errors_exit_2(self, capsys, argv, message):
        code, out, err = run(capsys, "evaluate", "--no-progress", *argv)
        assert code == 2 and out == ""
        assert err.startswith("kavro: error: ") and len(err.splitlines()) == 1
        assert re.search(message, err), err

    @pytest.mark.skipif(not (HAS_TREE and hasattr(kc, "StandardScaler") and hasattr(kc, "ClassificationPipeline")),
                        reason="trees, scalers and pipelines not built yet")
    @pytest.mark.parametrize("argv, message", [
        (["--model", "StandardScaler"], "StandardScaler is a transformer, not a model"),
        (["--model", "ClassificationPipeline"], "ClassificationPipeline needs steps, learner; .* use --model "
                                                "LEARNER with --pre TRANSFORMER"),
        (["--model", "NaiveBayes", "--pre", "NaiveBayes"], "NaiveBayes is a classifier, not a transformer"),
        (["--model", "HoeffdingTreeClassifier", "--param", "grace_period=0"],
         "cannot build model HoeffdingTreeClassifier: 'grace_period'"),
        (["--model", "NaiveBayes", "--model", "HoeffdingTreeRegressor"],
         "cannot compare classifiers with regressors"),
    ])
    def test_wrong_kinds_and_refused_values_exit_2(self, capsys, argv, message):
        code, out, err = run(capsys, "evaluate", "--no-progress", "--stream", "sea", *argv)
        assert code == 2 and out == "" and re.search(message, err), err

    @pytest.mark.skipif(not hasattr(kc, "ARFClassifier"), reason="forests not built yet")
    @pytest.mark.parametrize("param, message", [
        ("n_models=100000000000", r"ARFClassifier parameter 'n_models': 100000000000 is out of range "
                                  r"\(an integer from -2,147,483,648 to 2,147,483,647\)"),
        ("seed=-5", r"parameter 'seed': -5 is out of range \(an integer from 0 to 4,294,967,295\)"),
    ])
    def test_out_of_range_integer_names_the_parameter(self, capsys, param, message):
        code, out, err = run(capsys, "evaluate", "--no-progress", "--stream", "sea",
                             "--model", f"ARFClassifier:{param}")
        assert code == 2 and out == "" and len(err.splitlines()) == 1 and re.search(message, err), err

    def test_classifier_on_real_targets_is_refused(self, capsys, tmp_path):
        path = tmp_path / "fried.csv"
        path.write_text("a,target\n0.5,17.949\n0.2,13.8\n")
        code, out, err = run(capsys, "evaluate", "--no-progress", "--model", "NaiveBayes", "--csv", str(path),
                             "--target", "target")
        assert code == 2 and out == ""
        assert re.search(r"holds real numbers \(first value 17\.949\).*use a regressor, or --target-type class", err)
        code, out, _ = run(capsys, "evaluate", "--no-progress", "--model", "NaiveBayes", "--csv", str(path),
                           "--target", "target", "--target-type", "class")
        assert code == 0 and out.splitlines()[1].split()[1] == "2"

    def test_categorical_columns(self, capsys, tmp_path):
        path = tmp_path / "days.csv"
        path.write_text("day,t,y\n" + "".join(f"{'mon' if i % 2 else 'tue'},{i % 5},{i % 2}\n" for i in range(40)))
        code, out, _ = run(capsys, "evaluate", "--no-progress", "--model", "KNNClassifier", "--csv", str(path),
                           "--target", "y", "--categorical", "day", "--every", "40")
        assert code == 0 and float(out.splitlines()[1].split()[2]) > 0.8
        code, out2, _ = run(capsys, "evaluate", "--no-progress", "--model", "KNNClassifier", "--csv", str(path),
                            "--target", "y", "--categorical", "auto", "--every", "40")
        assert code == 0 and out2.splitlines()[1].split()[2] == out.splitlines()[1].split()[2]

    @pytest.mark.parametrize("fmt", ["table", "csv", "json"])
    def test_no_examples_print_an_empty_result_and_a_note(self, capsys, tmp_path, fmt):
        path = tmp_path / "empty.csv"
        path.write_text("a,y\n")
        for source in (["--csv", str(path), "--target", "y"], ["--stream", "sea", "--n", "0"]):
            code, out, err = run(capsys, "evaluate", "--no-progress", "--model", "NaiveBayes", "--format", fmt,
                                 *source)
            assert code == 0 and len(err.splitlines()) == 1 and err.startswith("kavro: note: no examples")
            if fmt == "json":
                assert json.loads(out) == [{"model": "NaiveBayes", "rows": []}]
            else:
                assert out.replace(",", " ").split() == ["model", "step", "Accuracy", "KappaT", "elapsed", "throughput"]

    def test_delay_window_and_recorded_dataset(self, capsys):
        code, out, _ = run(capsys, "evaluate", "--no-progress", "--model", "NaiveBayes", "--stream", "electricity",
                           "--n", "600", "--every", "300", "--delay", "10", "--window", "100", "--format", "csv")
        assert code == 0
        rows = out.splitlines()
        assert rows[0] == ('model,step,scored,Accuracy,KappaT,Accuracy (last 100),KappaT (last 100),'
                           'elapsed,throughput')
        assert [r.split(",")[1:3] for r in rows[1:]] == [["300", "290"], ["600", "590"]]

    def test_bad_data_exits_2_naming_line_and_column(self, capsys, tmp_path):
        path = tmp_path / "bad.csv"
        path.write_text("a,y\n1,0\n2,1\nzz,0\n")
        code, _, err = run(capsys, "evaluate", "--model", "NaiveBayes", "--csv", str(path), "--target", "y")
        assert code == 2 and "line 4, column 'a': cannot convert 'zz' to a number" in err

    @pytest.mark.parametrize("argv, message", [
        ([], "the following arguments are required: command"),
        (["evaluate", "--stream", "sea"], "--model"),
        (["evaluate", "--param", "a=1", "--model", "NaiveBayes", "--stream", "sea"],
         "--param must follow the --model it applies to"),
        (["evaluate", "--model", "NaiveBayes", "--stream", "sea", "--csv", "x"], "not allowed with"),
        (["evaluate", "--model", "NaiveBayes", "--stream", "sea", "--n", "ten"], "invalid int value"),
    ])
    def test_argument_errors_exit_2(self, capsys, argv, message):
        code, _, err = fails(capsys, *argv)
        assert code == 2 and message in err and "kavro: error:" in err

    @pytest.mark.skipif(not HAS_TREE, reason="HoeffdingTreeClassifier not built yet")
    def test_params_reach_the_model_they_follow(self, capsys, monkeypatch):
        built = []
        real_build = cli.build
        monkeypatch.setattr(cli, "build", lambda cls, opts, role: built.append((cls.__name__, list(opts)))
                            or real_build(cls, opts, role))
        code, _, _ = run(capsys, "evaluate", "--model", "HoeffdingTreeClassifier", "--param", "grace_period=20",
                         "--model", "HoeffdingTreeClassifier:max_depth=3", "--param", "split_criterion=gini",
                         "--stream", "sea", "--n", "50", "--no-progress")
        assert code == 0
        assert built[:2] == [("HoeffdingTreeClassifier", ["grace_period=20"]),
                             ("HoeffdingTreeClassifier", ["max_depth=3", "split_criterion=gini"])]

    @pytest.mark.skipif(not (hasattr(kc, "StandardScaler") and hasattr(kc, "ClassificationPipeline")),
                        reason="pipelines not built yet")
    def test_pre_builds_a_pipeline(self, capsys):
        code, out, _ = run(capsys, "evaluate", "--model", "NaiveBayes", "--pre", "StandardScaler",
                           "--stream", "sea", "--n", "100", "--no-progress")
        assert code == 0 and "StandardScaler | NaiveBayes" in out


def test_python_dash_m_and_console_script():
    proc = subprocess.run([sys.executable, "-m", "kavro", "evaluate", "--model", "Nope", "--stream", "sea"],
                          capture_output=True, text=True)
    assert proc.returncode == 2 and "unknown model 'Nope'" in proc.stderr
    script = Path(sys.executable).with_name("kavro")
    exe = str(script) if script.exists() else shutil.which("kavro")
    if exe is None:
        pytest.skip("console script not installed")
    proc = subprocess.run([exe, "list"], capture_output=True, text=True)
    assert proc.returncode == 0 and "NaiveBayes()" in proc.stdout



class TestDataErrors:
    """Bad data and out-of-range options end in one line and exit 2, never a traceback."""

    @pytest.mark.parametrize("argv, message", [
        (["--window", "99999999999999999999"], "argument --window: 99999999999999999999 is too large"),
        (["--n", "1e23"], "argument --n: 1e23 is too large"),
        (["--n", "1.5"], "argument --n: invalid int value: '1.5'"),
    ])
    def test_huge_integers(self, capsys, argv, message):
        code, _, err = fails(capsys, "evaluate", "--model", "NaiveBayes", "--stream", "sea", *argv)
        assert code == 2 and message in err.splitlines()[-1]

    def test_files_that_cannot_be_read_as_given(self, capsys, tmp_path):
        import gzip

        cases = {
            "big.csv": (b"a,y\n1,0\n2,3000000000\n", "must be an int that fits in 32 bits"),
            "cut.csv.gz": (gzip.compress(b"a,y\n" + b"1,1\n" * 20000)[:-10], "damaged or truncated gzip data"),
            "text.csv": (b"a,y\n1,0\n\xff,1\n", "not utf-8 text"),
            "field.csv": (b'a,y\n"' + b"x" * 200_000 + b'",1\n', "line 2: field larger than field limit"),
            "day.csv": (b"day,y\n1,0\nmon,1\n", r"use --categorical day or --categorical auto\)$"),
        }
        for name, (data, message) in cases.items():
            (tmp_path / name).write_bytes(data)
            code, _, err = run(capsys, "evaluate", "--no-progress", "--model", "NaiveBayes",
                               "--csv", str(tmp_path / name), "--target", "y")
            assert code == 2 and len(err.splitlines()) == 1 and re.search(message, err), (name, err)

    def test_measures_with_nothing_scored_are_missing_in_every_format(self, capsys):
        argv = ["evaluate", "--no-progress", "--model", "NaiveBayes", "--stream", "sea", "--n", "40",
                "--every", "20", "--delay", "100"]
        code, out, _ = run(capsys, *argv, "--format", "json")
        rows = json.loads(out)[0]["rows"]  # valid JSON: no NaN
        assert code == 0 and [(r["scored"], r["Accuracy"]) for r in rows] == [(0, None), (0, None)]
        code, out, _ = run(capsys, *argv, "--format", "csv")
        assert out.splitlines()[1].split(",")[1:4] == ["20", "0", ""]
        code, out, _ = run(capsys, *argv)
        assert out.splitlines()[1].split()[1:4] == ["20", "0", "-"]
