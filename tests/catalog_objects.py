"""Objects of any catalogued class, built from its signature alone."""

import re

import _kavro_core as kc
from kavro import _native
from kavro._registry import ENTRIES, constructor_params, lookup

NAMES = [e.name for e in ENTRIES]


def _argument(annotation):
    """A small object of the kind a required constructor argument names."""
    if "SupportsFloat" in annotation or annotation == "float":
        return 0.5
    sequence = annotation.startswith(("collections.abc.Sequence[", "list[", "Sequence["))
    inner = re.sub(r"^[\w.]*\[(.*)\]$", r"\1", annotation) if sequence else annotation
    wanted = getattr(kc, inner.rsplit(".", 1)[-1], None) or getattr(_native, inner.rsplit(".", 1)[-1], None)
    for name in NAMES:
        cls = lookup(name)
        if isinstance(wanted, type) and cls is not None and issubclass(cls, wanted) and cls is not wanted:
            try:
                obj = make(cls)
            except TypeError:
                continue
            return [obj, make(cls)] if sequence else obj
    raise LookupError(annotation)


def make(cls):
    """An object of cls built with its defaults and small objects for required arguments."""
    kwargs = {p.name: _argument(p.annotation) for p in constructor_params(cls) if not p.has_default}
    return cls(**kwargs)
