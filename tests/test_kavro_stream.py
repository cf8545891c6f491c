import itertools
import math
from pathlib import Path

import pytest

from kavro.stream import CSVStream, StreamError, iter_array, iter_csv, iter_pandas, iter_stream

DATA = Path(__file__).resolve().parents[1].parent / "shared" / "data"


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

    def test_electricity(self):
        path = DATA / "electricity.csv"
        if not path.exists():
            pytest.skip("shared data not available")
        first = next(iter(iter_csv(path, "class")))
        assert first == (
            {"period": 0.0, "nswprice": 0.056443, "nswdemand": 0.439155, "vicprice": 0.003467,
             "vicdemand": 0.422915, "transfer": 0.414912},
            1,
        )
        assert sum(1 for _ in iter_csv(path, "class")) == 45312


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


class TestArray:
    def test_nested_lists(self):
        assert list(iter_array([[1, 2], [3, 4]], [0, 1])) == [({"x0": 1.0, "x1": 2.0}, 0),
                                                             ({"x0": 3.0, "x1": 4.0}, 1)]
        assert list(iter_array([[1]], feature_names=["f"])) == [({"f": 1.0}, None)]

    def test_numpy_scalars_become_python_numbers(self):
        np = pytest.importorskip("numpy")
        X = np.array([[1.0, np.nan]])
        (x, y), = iter_array(X, np.array([3], dtype=np.int64))
        assert type(y) is int and y == 3
        assert x == {"x0": 1.0}  # a NaN cell is an absent feature
        (_, y), = iter_stream(X, np.array([0.5]))
        assert type(y) is float

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
