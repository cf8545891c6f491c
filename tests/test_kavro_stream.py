import gzip
import itertools

import pytest

from kavro.datasets import Electricity
from kavro.stream import CSVStream, StreamError, iter_array, iter_csv, iter_pandas, iter_stream


def write(tmp_path, text, name="data.csv"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return path


class TestCSV:
    def test_rows_become_records_and_targets(self, tmp_path):
        path = write(tmp_path, "a,y,b\n1,0,2.5\n-3e2,1, 4 \n")
        assert list(iter_csv(path, "y")) == [({"a": 1.0, "b": 2.5}, 0), ({"a": -300.0, "b": 4.0}, 1)]

    def test_features_drop_and_no_target(self, tmp_path):
        path = write(tmp_path, "a,b,c,y\n1,2,3,4\n")
        assert list(iter_csv(path, "y", features=["c", "a"])) == [({"a": 1.0, "c": 3.0}, 4)]
        assert list(iter_csv(path, "y", drop=["b"])) == [({"a": 1.0, "c": 3.0}, 4)]
        assert list(iter_csv(path, None)) == [({"a": 1.0, "b": 2.0, "c": 3.0, "y": 4.0}, None)]

    def test_empty_cell_leaves_feature_out_and_blank_lines_are_skipped(self, tmp_path):
        path = write(tmp_path, "a,b,y\n1,,0\n\n,2,1\n")
        assert list(iter_csv(path, "y")) == [({"a": 1.0}, 0), ({"b": 2.0}, 1)]

    def test_byte_order_mark_is_not_part_of_the_first_name(self, tmp_path):
        path = tmp_path / "bom.csv"
        path.write_bytes("a,y\n1,0\n".encode("utf-8-sig"))
        assert list(iter_csv(path, "y")) == [({"a": 1.0}, 0)]

    def test_quoted_fields_and_other_delimiters(self, tmp_path):
        path = write(tmp_path, 'a;"b;c";y\n"1.5";2;x\n')
        assert list(iter_csv(path, "y", delimiter=";")) == [({"a": 1.5, "b;c": 2.0}, 0)]

    @pytest.mark.parametrize(
        "target_type, cells, expected",
        [
            ("auto", ["1", "2", "0"], [1, 2, 0]),
            ("auto", ["1.5", "2", "-1e1"], [1.5, 2.0, -10.0]),
            ("auto", ["up", "down", "up"], [0, 1, 0]),
            ("class", ["3", "1.0", "3"], [3, 1, 3]),
            ("class", ["b", "a", "b"], [0, 1, 0]),
            ("float", ["1", "2", "3"], [1.0, 2.0, 3.0]),
            ("int", ["7", "-2", "4.0"], [7, -2, 4]),
            ("label", ["1", "0", "1"], [0, 1, 0]),
            (str.upper, ["a", "b", "a"], ["A", "B", "A"]),
        ],
    )
    def test_target_conversion(self, tmp_path, target_type, cells, expected):
        path = write(tmp_path, "f,y\n" + "".join(f"0,{c}\n" for c in cells))
        ys = [y for _, y in iter_csv(path, "y", target_type=target_type)]
        assert ys == expected
        assert all(type(a) is type(b) for a, b in zip(ys, expected))

    def test_label_encoding_is_exposed_and_restarts_per_iteration(self, tmp_path):
        path = write(tmp_path, "f,y\n0,UP\n1,DOWN\n")
        stream = CSVStream(path, "y")
        assert list(stream) == list(stream) == [({"f": 0.0}, 0), ({"f": 1.0}, 1)]
        assert stream.classes == {"UP": 0, "DOWN": 1}

    def test_bad_feature_value_names_line_and_column(self, tmp_path):
        path = write(tmp_path, "a,b,y\n1,2,0\n3,oops,1\n")
        rows = iter(iter_csv(path, "y"))
        assert next(rows) == ({"a": 1.0, "b": 2.0}, 0)
        with pytest.raises(StreamError, match=r"data\.csv, line 3, column 'b': cannot convert 'oops'"):
            next(rows)

    def test_line_numbers_count_physical_lines(self, tmp_path):
        # A quoted field may span lines; errors name the line where the record starts.
        path = write(tmp_path, 'a,note,y\n1,"\n3",0\n2,3,1\n4,x,0\n')
        with pytest.raises(StreamError, match=r"line 5, column 'note'"):
            list(iter_csv(path, "y"))
        path = write(tmp_path, 'a,note,y\n1,"two\nlines",0\n')
        with pytest.raises(StreamError, match=r"line 2, column 'note'"):
            list(iter_csv(path, "y"))

    def test_bad_target_names_line_and_target_column(self, tmp_path):
        path = write(tmp_path, "a,y\n1,2\n2,2.5\n")
        with pytest.raises(StreamError, match=r"line 3, column 'y' \(target\): cannot convert '2\.5'"):
            list(iter_csv(path, "y", target_type="int"))
        path = write(tmp_path, "a,y\n1,2.5\n2,high\n")
        with pytest.raises(StreamError, match=r"line 3, column 'y' \(target\)"):
            list(iter_csv(path, "y"))

    @pytest.mark.parametrize(
        "text, target, message",
        [
            ("", "y", "empty file"),
            ("a,b\n1,2\n", "y", "no column 'y' for the target"),
            ("a,y\n1,2,3\n", "y", r"line 2: 3 fields, expected 2"),
            ("a,y\n1\n", "y", r"line 2: 1 fields, expected 2"),
            ("a,y\n1,\n", "y", r"line 2, column 'y' \(target\): missing value"),
            ("a,b,a,y\n1,2,3,0\n", "y", r"duplicate column\(s\) 'a'"),
        ],
    )
    def test_structural_errors(self, tmp_path, text, target, message):
        with pytest.raises(StreamError, match=message):
            list(iter_csv(write(tmp_path, text), target))

    def test_unknown_feature_and_target_type(self, tmp_path):
        path = write(tmp_path, "a,y\n1,2\n")
        with pytest.raises(StreamError, match="no column"):
            list(iter_csv(path, "y", features=["zz"]))
        with pytest.raises(ValueError, match="unknown target_type"):
            CSVStream(path, "y", target_type="nominal")

    def test_reads_lazily(self, tmp_path):
        # A bad value far down the file is only met when the reader gets there.
        lines = "".join(f"{i},{i % 2}\n" for i in range(5000))
        path = write(tmp_path, "a,y\n" + lines + "bad,0\n")
        head = list(itertools.islice(iter_csv(path, "y"), 10))
        assert head[-1] == ({"a": 9.0}, 1)

    def test_gzip_file_and_row_count(self, tmp_path):
        path = tmp_path / "d.csv.gz"
        with gzip.open(path, "wt", encoding="utf-8") as fh:
            fh.write("a,y\n1,0\n\n2,1\n")
        stream = iter_csv(path, "y")
        assert list(stream) == [({"a": 1.0}, 0), ({"a": 2.0}, 1)]
        assert stream.count_rows() == 2
        assert iter_csv(write(tmp_path, "a,y\n"), "y").count_rows() == 0

    def test_packaged_electricity_file(self):
        path = Electricity().path
        first = next(iter(iter_csv(path, "class")))
        assert first == (
            {"period": 0.0, "nswprice": 0.056443, "nswdemand": 0.439155, "vicprice": 0.003467,
             "vicdemand": 0.422915, "transfer": 0.414912},
            1,
        )
        assert iter_csv(path, "class").count_rows() == 45312

    def test_nan_cells_are_missing_and_infinities_are_values(self, tmp_path):
        path = write(tmp_path, "a,b,c,y\nnan,NaN,inf,1\n NAN ,-Infinity,2,0\n")
        assert list(iter_csv(path, "y")) == [({"c": float("inf")}, 1), ({"b": float("-inf"), "c": 2.0}, 0)]
        with pytest.raises(StreamError, match=r"line 2, column 'y' \(target\): missing value"):
            list(iter_csv(write(tmp_path, "a,y\n1,nan\n"), "y", target_type="float"))


class TestCategorical:
    def test_named_columns_are_one_hot_in_column_order(self, tmp_path):
        path = write(tmp_path, "t,day,h,y\n1,mon,3,0\n2,,4,1\n3,tue,nan,0\n4,nan,5,1\n")
        rows = list(iter_csv(path, "y", categorical=["day"]))
        assert [list(x.items()) for x, _ in rows] == [
            [("t", 1.0), ("day=mon", 1.0), ("h", 3.0)],
            [("t", 2.0), ("h", 4.0)],
            [("t", 3.0), ("day=tue", 1.0)],
            [("t", 4.0), ("h", 5.0)],
        ]
        # a numeric-looking column can be named too
        assert [x for x, _ in iter_csv(path, "y", categorical=["h"], drop=["day"])][0] == {"t": 1.0, "h=3": 1.0}

    def test_auto_encodes_columns_whose_first_value_is_not_a_number(self, tmp_path):
        path = write(tmp_path, "a,colour,b,y\n1,red,,0\n2,7,x,1\n")
        rows = iter(iter_csv(path, "y", categorical="auto"))
        assert next(rows) == ({"a": 1.0, "colour=red": 1.0}, 0)
        # b's first value (line 3) is text, so b is categorical; colour stays categorical
        assert next(rows) == ({"a": 2.0, "colour=7": 1.0, "b=x": 1.0}, 1)
        path = write(tmp_path, "a,y\n1,0\nred,1\n", "late.csv")
        with pytest.raises(StreamError, match=r"line 3, column 'a': cannot convert 'red'.*first value was numeric"):
            list(iter_csv(path, "y", categorical="auto"))

    def test_without_categorical_a_text_column_error_suggests_it(self, tmp_path):
        path = write(tmp_path, "day,y\nmon,0\n")
        with pytest.raises(StreamError, match=r"categorical=\['day'\]"):
            list(iter_csv(path, "y"))

    @pytest.mark.parametrize("categorical, error, message", [
        (["nope"], StreamError, r"no column\(s\) 'nope' to encode"),
        (["y"], StreamError, "target column 'y' cannot be categorical"),
        ("day", ValueError, r"write categorical=\['day'\]"),
        ([3], TypeError, "must be strings"),
    ])
    def test_bad_categorical_options(self, tmp_path, categorical, error, message):
        path = write(tmp_path, "day,y\nmon,0\n")
        with pytest.raises(error, match=message):
            list(iter_csv(path, "y", categorical=categorical))
        with pytest.raises(StreamError, match="not among the features read"):
            list(iter_csv(path, "y", categorical=["day"], drop=["day"]))


class TestPandas:
    pd = pytest.importorskip("pandas")

    def test_rows_targets_and_missing_values(self):
        df = self.pd.DataFrame({"a": [1, 2, None], "b": [0.5, float("nan"), 2.0], "y": [1, 0, 1]})
        assert list(iter_pandas(df, "y")) == [
            ({"a": 1.0, "b": 0.5}, 1), ({"a": 2.0}, 0), ({"b": 2.0}, 1)]
        ys = [y for _, y in iter_pandas(df, "y")]
        assert all(type(y) is int for y in ys)

    def test_string_targets_are_encoded_and_errors_name_row_and_column(self):
        df = self.pd.DataFrame({"a": [1.0, 2.0], "y": ["up", "down"]})
        assert [y for _, y in iter_pandas(df, "y")] == [0, 1]
        with pytest.raises(StreamError, match="no column 'z'"):
            list(iter_pandas(df, "z"))
        gap = self.pd.DataFrame({"a": [1.0, 2.0], "y": [1.0, None]})
        with pytest.raises(StreamError, match=r"row 1, column 'y' \(target\): missing value"):
            list(iter_pandas(gap, "y"))
        bad = self.pd.DataFrame({"a": [1.0, "x"], "y": [0, 1]})
        with pytest.raises(StreamError, match=r"row 1, column 'a': cannot convert 'x'"):
            list(iter_pandas(bad, "y"))

    def test_dispatch(self):
        df = self.pd.DataFrame({"a": [1.0], "y": [2.5]})
        assert list(iter_stream(df, "y")) == [({"a": 1.0}, 2.5)]

    def test_classes_length_and_iterating_again(self):
        df = self.pd.DataFrame({"a": [1.0, 2.0, 3.0], "y": ["up", "down", "up"]})
        stream = iter_pandas(df, "y")
        assert len(stream) == 3 and list(stream) == list(stream)
        assert stream.classes == {"up": 0, "down": 1}
        assert next(iter_pandas(df, "y")) == ({"a": 1.0}, 0)  # still usable as an iterator

    def test_categorical_columns_and_missing_values(self):
        pd = self.pd
        df = pd.DataFrame({"day": ["mon", None, "tue"], "n": pd.array([1, pd.NA, 3], dtype="Int64"),
                           "k": [1, 2, 1], "y": [0, 1, 0]})
        assert [x for x, _ in iter_pandas(df, "y", categorical="auto")] == [
            {"day=mon": 1.0, "n": 1.0, "k": 1.0}, {"k": 2.0}, {"day=tue": 1.0, "n": 3.0, "k": 1.0}]
        assert [list(x) for x, _ in iter_pandas(df, "y", categorical=["day", "k"])][0] == ["day=mon", "n", "k=1"]
        with pytest.raises(StreamError, match=r"column 'day': cannot convert 'mon'.*categorical"):
            list(iter_pandas(df, "y"))
        with pytest.raises(StreamError, match="target column 'y' cannot be categorical"):
            iter_pandas(df, "y", categorical=["y"])


class TestArray:
    def test_nested_lists(self):
        assert list(iter_array([[1, 2], [3, 4]], [0, 1])) == [({"x0": 1.0, "x1": 2.0}, 0),
                                                             ({"x0": 3.0, "x1": 4.0}, 1)]
        assert list(iter_array([[1]], feature_names=["f"])) == [({"f": 1.0}, None)]

    def test_numpy_scalars_become_python_numbers_and_nan_is_missing(self):
        np = pytest.importorskip("numpy")
        X = np.array([[np.nan, 1.0, np.inf]])
        (x, y), = iter_array(X, np.array([3], dtype=np.int64))
        assert type(y) is int and y == 3
        assert list(x.items()) == [("x1", 1.0), ("x2", float("inf"))]
        (_, y), = iter_stream(X, np.array([0.5]))
        assert type(y) is float
        assert list(iter_array([[None, 2]])) == [({"x1": 2.0}, None)]

    def test_length_and_iterating_again(self):
        stream = iter_array([[1], [2]], [0, 1])
        assert len(stream) == 2 and list(stream) == list(stream)
        once = iter_array([[1], [2]], iter([0, 1]))
        assert len(list(once)) == 2
        with pytest.raises(StreamError, match="one-shot iterator"):
            list(once)

    def test_one_dimensional_input_is_a_clear_error(self):
        np = pytest.importorskip("numpy")
        with pytest.raises(StreamError, match=r"X must be a 2-D array.*shape \(3,\).*reshape\(-1, 1\)"):
            iter_array(np.arange(3), [0, 1, 0])
        with pytest.raises(StreamError, match="X must be 2-D"):
            iter_array([1, 2, 3])

    def test_length_mismatches(self):
        with pytest.raises(StreamError, match="fewer values"):
            list(iter_array([[1], [2]], [0]))
        with pytest.raises(StreamError, match="more values"):
            list(iter_array([[1]], [0, 1]))
        with pytest.raises(StreamError, match="row 1: 1 values, expected 2"):
            list(iter_array([[1, 2], [3]]))

    def test_unknown_source(self):
        with pytest.raises(TypeError, match="cannot stream from int"):
            iter_stream(3)


class TestBoundedReading:
    """Every reading route stays in bounded memory and names the file and line of what it refuses."""

    def test_long_lines_are_refused_and_the_limit_can_be_raised(self, tmp_path):
        path = write(tmp_path, "a,y\n1,0\n" + "1" * 5000 + ",1\n")
        with pytest.raises(StreamError, match=r"data\.csv, line 3: longer than 4,000 characters"):
            list(iter_csv(path, "y", max_line_length=4000))
        assert [y for _, y in iter_csv(path, "y", max_line_length=6000)] == [0, 1]
        with pytest.raises(StreamError, match="line 1: longer than 1,048,576 characters"):
            next(iter(iter_csv("/dev/zero", "y")))
        with pytest.raises(ValueError, match="max_line_length"):
            iter_csv(path, "y", max_line_length=0)

    def test_undecodable_damaged_and_oversized_input_name_file_and_line(self, tmp_path):
        bad = tmp_path / "bad.csv"
        bad.write_bytes(b"a,y\n1,0\n\xff\xfe,1\n")
        with pytest.raises(StreamError, match=r"bad\.csv, line \d+ or soon after: not utf-8 text"):
            list(iter_csv(bad, "y"))
        data = gzip.compress(b"a,y\n" + b"1,1\n" * 20000)
        cut = tmp_path / "cut.csv.gz"
        cut.write_bytes(data[:len(data) // 2])
        with pytest.raises(StreamError, match=r"cut\.csv\.gz, line \d+: damaged or truncated gzip data"):
            list(iter_csv(cut, "y"))
        wide = write(tmp_path, 'a,y\n"' + "x" * 200_000 + '",1\n', "wide.csv")
        with pytest.raises(StreamError, match=r"wide\.csv, line 2: field larger than field limit"):
            list(iter_csv(wide, "y", categorical=["a"]))

    def test_a_wide_header_and_its_duplicates(self, tmp_path):
        names = [f"c{i}" for i in range(20000)]
        path = write(tmp_path, ",".join(names + ["y"]) + "\n" + ",".join(["1"] * 20001) + "\n")
        x, y = next(iter(iter_csv(path, "y")))
        assert len(x) == 20000 and y == 1
        dup = write(tmp_path, ",".join(names + ["c5", "c7", "y"]) + "\n", "dup.csv")
        with pytest.raises(StreamError, match="duplicate column\\(s\\) 'c5', 'c7'"):
            list(iter_csv(dup, "y"))


class TestMissingTargets:
    def test_every_source_refuses_a_missing_target_where_it_is(self, tmp_path):
        with pytest.raises(StreamError, match=r"y\[2\] is missing \(nan\)"):
            list(iter_array([[1.0], [2.0], [3.0]], [0.5, 1.5, float("nan")]))
        with pytest.raises(StreamError, match=r"y\[1\] is missing \(None\)"):
            list(iter_array([[1.0], [2.0]], [0, None]))
        path = write(tmp_path, "a,y\n1,2\n2,x\n")
        with pytest.raises(StreamError, match=r"line 3, column 'y' \(target\): 'x' converts to a missing value"):
            list(iter_csv(path, "y", target_type=lambda v: float(v) if v != "x" else float("nan")))
