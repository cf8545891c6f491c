"""Constructor parameters of a bound class, read from pybind11's generated signature."""

import ast
from dataclasses import dataclass


@dataclass
class Param:
    name: str
    annotation: str
    default: object


def _split_top_level(text):
    parts, depth, cur = [], 0, []
    for ch in text:
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append("".join(cur).strip())
            cur = []
        else:
            cur.append(ch)
    if "".join(cur).strip():
        parts.append("".join(cur).strip())
    return parts


def constructor_params(cls):
    """Keyword parameters of the first __init__ overload, self excluded."""
    doc = cls.__init__.__doc__ or ""
    line = next((ln for ln in doc.splitlines() if ln.lstrip().startswith(("__init__(", "1. __init__("))),
                "")
    inner = line[line.index("(") + 1: line.rindex(")")]
    params = []
    for part in _split_top_level(inner)[1:]:
        name, _, rest = part.partition(":")
        annotation, _, default = rest.partition("=")
        value = ast.literal_eval(default.strip()) if default.strip() else None
        params.append(Param(name.strip(), annotation.strip(), value))
    return params
