import random
from pathlib import Path

import pytest

DATA_DIR = Path(__file__).resolve().parents[1].parent / "shared" / "data"


@pytest.fixture
def rng():
    return random.Random(12345)


@pytest.fixture
def data_dir():
    if not DATA_DIR.is_dir():
        pytest.skip("shared data streams not present")
    return DATA_DIR
