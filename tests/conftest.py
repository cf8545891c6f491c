import random
import pytest


@pytest.fixture
def rng():
    return random.Random(12345)


@pytest.fixture(scope="session")
def ray_session():
    """One local Ray instance (2 CPUs) for every test that asks for it, shut down at the end."""
    import os

    if os.environ.get("LD_PRELOAD"):
        pytest.skip("Ray tests do not run in the sanitizer pass: Ray's own binaries cannot run under "
                    "the preloaded sanitizer runtime")
    ray = pytest.importorskip("ray", reason="ray is not installed (pip install 'kavro[distributed]')")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    try:
        yield ray
    finally:
        ray.shutdown()
