"""The recorded streams shipped in the package, opened as text for tests that parse them."""

import gzip

from kavro.datasets import Electricity, FriedmanFile

_PATHS = {"electricity.csv": Electricity().path, "fried.csv": FriedmanFile().path}


def open_csv(name):
    """A text handle on the packaged copy of ``electricity.csv`` or ``fried.csv``."""
    return gzip.open(_PATHS[name], "rt", newline="", encoding="utf-8")
