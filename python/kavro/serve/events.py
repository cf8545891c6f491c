"""Request bodies checked and turned into events; every refusal names the field at fault.

A learning event is ``[x, y, key, served]``: the features, the target, the key (None without
keys) and, for a label joined to a prediction, the prediction that was served (else None). The
write-ahead log holds such lists as JSON, or the body of a /batch request whose learn items they are.
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable
from typing import Any

from kavro import _native

_MAX_FLOAT = 1.7976931348623157e308
_INT64 = (-(2**63), 2**63 - 1)
# Class labels are 32-bit integers in the core.
_LABEL = (-(2**31), 2**31 - 1)


def _np() -> Any:
    import numpy

    return numpy


class RequestError(Exception):
    """A refused request: its HTTP status and a message for the client."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


def bad(message: str) -> RequestError:
    return RequestError(400, message)


def _no_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON number")


def _std_loads(body: bytes) -> Any:
    return json.loads(body, parse_constant=_no_constant)


_loads: Callable[[bytes], Any] = _std_loads
try:  # about twice as fast on large bodies; the same values (both round floats correctly)
    import orjson

    _loads = orjson.loads  # refuses NaN and infinities itself
except ImportError:  # pragma: no cover - depends on the environment
    pass


def parse_json(body: bytes) -> Any:
    """The JSON document of ``body``; NaN and infinities are refused as JSON refuses them."""
    try:
        return _loads(body)
    except (ValueError, UnicodeDecodeError) as exc:
        raise bad(f"malformed JSON: {exc}") from None


def parse_object(body: bytes, allowed: tuple[str, ...]) -> dict[str, Any]:
    doc = parse_json(body)
    if type(doc) is not dict:
        raise bad(f"the body must be a JSON object, not {_json_type(doc)}")
    check_fields(doc, allowed, "the body")
    return doc


def check_fields(doc: dict[str, Any], allowed: tuple[str, ...], where: str) -> None:
    for name in doc:
        if name not in allowed:
            raise bad(f"{where} has an unknown field {name!r} (fields: {', '.join(allowed)})")


def _json_type(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


def _field(where: str, name: str) -> str:
    return f"{where}.{name}" if where else name


def check_x(doc: dict[str, Any], where: str) -> dict[str, Any]:
    """The features of ``doc``: an object of finite numbers."""
    name = _field(where, "x")
    if "x" not in doc:
        raise bad(f"{name} is missing")
    x = doc["x"]
    if type(x) is not dict:
        raise bad(f"{name} must be an object of feature values, not {_json_type(x)}")
    for feature, value in x.items():
        kind = type(value)
        if kind is float:
            if value - value != 0.0:
                raise bad(f"{name}[{feature!r}] must be a finite number, got {value!r}")
        elif kind is int:
            if not -_MAX_FLOAT <= value <= _MAX_FLOAT:
                raise bad(f"{name}[{feature!r}] is out of the range of a double: {value}")
        else:
            raise bad(f"{name}[{feature!r}] is not a number: {json.dumps(value)[:80]}")
    return x


def check_y(doc: dict[str, Any], where: str, classifier: bool) -> Any:
    """The target of ``doc``: an integer class label, or a finite number for a regressor."""
    name = _field(where, "y")
    if "y" not in doc or doc["y"] is None:
        raise bad(f"{name} is missing (the target is required)")
    y = doc["y"]
    kind = type(y)
    if classifier:
        if kind is not int:
            raise bad(f"{name} must be an integer class label, not {_json_type(y)} "
                      f"({json.dumps(y)[:80]})")
        if not _LABEL[0] <= y <= _LABEL[1]:
            raise bad(f"{name} is out of range for a class label: {y}")
        return y
    if kind is int:
        if not -_MAX_FLOAT <= y <= _MAX_FLOAT:
            raise bad(f"{name} is out of the range of a double: {y}")
        return y
    if kind is not float:
        raise bad(f"{name} must be a number, not {_json_type(y)} ({json.dumps(y)[:80]})")
    if not math.isfinite(y):
        raise bad(f"{name} must be a finite number, got {y!r}")
    return y


def check_key(doc: dict[str, Any], where: str, keyed: bool) -> Any:
    """The key of ``doc``: a string or an integer with keys, absent without."""
    name = _field(where, "key")
    key = doc.get("key")
    if not keyed:
        if key is not None:
            raise bad(f"{name} is given but this service holds one model (it was not started keyed)")
        return None
    if key is None:
        raise bad(f"{name} is missing (this service holds one model per key)")
    if type(key) is int:
        if not _INT64[0] <= key <= _INT64[1]:
            raise bad(f"{name} is out of the range of a 64-bit integer: {key}")
        return key
    if type(key) is not str:
        raise bad(f"{name} must be a string or an integer, not {_json_type(key)}")
    return key


def check_event_id(doc: dict[str, Any], where: str) -> str:
    name = _field(where, "event")
    if "event" not in doc:
        raise bad(f"{name} is missing")
    event = doc["event"]
    if type(event) is not str:
        raise bad(f"{name} must be a string (the id /predict returned), not {_json_type(event)}")
    return event


def check_list(doc: dict[str, Any], name: str) -> list[Any]:
    items = doc.get(name, [])
    if type(items) is not list:
        raise bad(f"{name} must be an array, not {_json_type(items)}")
    for i, item in enumerate(items):
        if type(item) is not dict:
            raise bad(f"{name}[{i}] must be an object, not {_json_type(item)}")
    return items


LEARN_FIELDS = ("x", "y", "key")
PREDICT_FIELDS = ("x", "key")
LABEL_FIELDS = ("event", "y")


def learn_event(doc: dict[str, Any], where: str, classifier: bool, keyed: bool) -> list[Any]:
    if where:
        check_fields(doc, LEARN_FIELDS, where)
    return [check_x(doc, where), check_y(doc, where, classifier), check_key(doc, where, keyed), None]


_NUMBER_TYPES = {float, int}


def _quick_learn_event(item: Any, classifier: bool, keyed: bool) -> list[Any] | None:
    """``learn_event`` for an item that is plainly right, else None (the full check then says
    what is wrong)."""
    if type(item) is not dict:
        return None
    x = item.get("x")
    key = item.get("key")
    if type(x) is not dict or len(item) != (3 if keyed else 2):
        return None
    if keyed:
        if not (type(key) is str or (type(key) is int and _INT64[0] <= key <= _INT64[1])):
            return None
    elif "key" in item:
        return None
    y = item.get("y")
    if classifier:
        if type(y) is not int or not _LABEL[0] <= y <= _LABEL[1]:
            return None
    elif type(y) is not float or y - y != 0.0:
        return None
    values = x.values()
    if not set(map(type, values)) <= _NUMBER_TYPES:
        return None
    try:
        total = math.fsum(values)
    except OverflowError:
        return None
    if total - total != 0.0:  # a non-finite value, or finite ones whose sum overflows
        return None
    return [x, y, key, None]


def _quick_learn_events(items: list[dict[str, Any]], classifier: bool, keyed: bool) -> list[list[Any]] | None:
    """``learn_events`` for many items that are plainly right, checked in the core: the same
    fields in every item, the same features in the same order in every row. Else None."""
    fields = 3 if keyed else 2
    try:
        if any(len(item) != fields for item in items):
            return None
        xs = [item["x"] for item in items]
        ys = [item["y"] for item in items]
        keys = [item["key"] for item in items] if keyed else [None] * len(items)
        packed = _native.pack_rows(xs)  # None unless every value is an int or a non-NaN float
    except (KeyError, TypeError):
        return None
    if packed is None or not _np().isfinite(packed[0]).all():
        return None
    if classifier:
        if _native.int_labels(ys) is None:  # None unless every label is a 32-bit int
            return None
    else:
        targets = _native.float_targets(ys)  # None unless every target is a float
        if targets is None or not _np().isfinite(targets).all():
            return None
    if keyed and any(type(key) is not str for key in keys):
        return None
    return [[x, y, key, None] for x, y, key in zip(xs, ys, keys)]


def learn_events(items: list[Any], where: str, classifier: bool, keyed: bool) -> list[list[Any]]:
    """The events of a list of learn items (checked by ``check_list``)."""
    if len(items) >= 64:
        quick = _quick_learn_events(items, classifier, keyed)
        if quick is not None:
            return quick
    out: list[list[Any]] = []
    for item in items:
        event = _quick_learn_event(item, classifier, keyed)
        if event is None:
            event = learn_event(item, f"{where}[{len(out)}]", classifier, keyed)
        out.append(event)
    return out


def predict_request(doc: dict[str, Any], where: str, keyed: bool) -> tuple[dict[str, Any], Any]:
    if where:
        check_fields(doc, PREDICT_FIELDS, where)
    return check_x(doc, where), check_key(doc, where, keyed)


def label_request(doc: dict[str, Any], where: str, classifier: bool) -> tuple[str, Any]:
    if where:
        check_fields(doc, LABEL_FIELDS, where)
    return check_event_id(doc, where), check_y(doc, where, classifier)


# Log payloads: b"E" and the events as JSON, or b"B" and the body of a /batch request without
# labels, whose learn items are the events (logged as received: no second encoding).


def encode_events(events: list[list[Any]]) -> bytes:
    """The log payload of ``events``."""
    return b"E" + json.dumps(events, separators=(",", ":"), allow_nan=False).encode()


def batch_payload(body: bytes) -> bytes:
    """The log payload of a checked /batch body without labels."""
    return b"B" + body


def decode_events(payload: bytes) -> list[list[Any]]:
    """The events of a log payload, as they were when logged."""
    kind, data = payload[:1], payload[1:]
    if kind == b"E":
        events: list[list[Any]] = json.loads(data)
        return events
    if kind == b"B":
        items = parse_json(data).get("learn", [])
        return [[item["x"], item["y"], item.get("key"), None] for item in items]
    raise ValueError(f"unknown log payload kind {kind!r}")
