"""Hash tables come back from a saved state with the same bucket count and iteration order, and
then grow exactly as the original does, whatever their size and history."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

_kavro_testing = pytest.importorskip("_kavro_testing")

settings.register_profile("tables", max_examples=60, deadline=None, derandomize=True)

KEYS = st.integers(min_value=-50, max_value=400)
OPS = st.lists(
    st.one_of(
        st.tuples(st.just("insert"), KEYS),
        st.tuples(st.just("insert"), KEYS),
        st.tuples(st.just("insert"), KEYS),
        st.tuples(st.just("erase"), KEYS),
        st.tuples(st.just("reserve"), st.integers(0, 300)),
        st.tuples(st.just("rehash"), st.integers(0, 300)),
        st.tuples(st.just("clear"), st.just(0)),
    ),
    max_size=300,
)


def check(result):
    (bc_a, bc_b, order_a, order_b), (later_bc_a, later_bc_b, later_a, later_b) = result
    assert bc_a == bc_b
    assert order_a == order_b
    assert later_bc_a == later_bc_b
    assert later_a == later_b


@settings(settings.get_profile("tables"))
@given(OPS, OPS)
def test_string_tables_keep_order_and_growth(history, after):
    check(_kavro_testing.table_roundtrip_str(history, after))


@settings(settings.get_profile("tables"))
@given(OPS, OPS)
def test_integer_tables_keep_order_and_growth(history, after):
    check(_kavro_testing.table_roundtrip_int(history, after))


@pytest.mark.parametrize("n", [0, 1, 2, 5, 13, 29, 97, 1000, 5000])
def test_tables_of_many_sizes_grown_one_by_one(n):
    history = [("insert", k) for k in range(n)]
    after = [("insert", k) for k in range(n, 2 * n + 40)]
    check(_kavro_testing.table_roundtrip_str(history, after))
    check(_kavro_testing.table_roundtrip_int(history, after))


def test_emptied_tables_keep_their_buckets():
    history = [("insert", k) for k in range(3000)] + [("clear", 0)]
    result = _kavro_testing.table_roundtrip_str(history, [("insert", k) for k in range(50)])
    check(result)
    assert result[0][0] > 3000


def test_bucket_counts_the_containers_use():
    valid = _kavro_testing.valid_bucket_count
    assert valid(1) and valid(2) and valid(13) and valid(97)
    assert not valid(0) and not valid(4) and not valid(100) and not valid(2**63)


def test_bucket_counts_beyond_what_a_state_justifies_are_refused():
    import struct

    from kavro import _native

    valid = _kavro_testing.valid_bucket_count
    big = next(n for n in range(4_000_000, 4_200_000) if valid(n))

    def state(n_tables):
        payload = struct.pack("<QQ", 1, 0)  # class counts: empty
        payload += struct.pack("<QQ", 97, n_tables)  # per-label feature tables
        for label in range(n_tables):
            payload += struct.pack("<i", label) + struct.pack("<QQ", big, 0)
        payload += struct.pack("<q", 0)
        name, version = b"NaiveBayes", b"test"
        return (b"KAVRO\r\n\x1a" + struct.pack("<I", 1) + struct.pack("<H", len(name)) + name
                + struct.pack("<H", len(version)) + version + struct.pack("<Q", len(payload))
                + payload + struct.pack("<I", _native.crc32(payload)))

    assert _native.loads(state(1)).predict_one({"a": 1.0}) in (-1, 0)
    with pytest.raises(ValueError, match="more buckets than the state justifies"):
        _native.loads(state(40))
