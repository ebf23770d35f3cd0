import os
import signal
import subprocess

import numpy as np
import pytest

# Mesa's CPU Vulkan driver compiles each device shader with LLVM on first use in a process;
# without LLVM's optimisation passes that takes about half as long, and the tests' small
# dispatches do not need fast code. Read when the driver loads, so set before any Vulkan call.
os.environ.setdefault("GALLIVM_PERF", "nopt")

import tesk_gpu  # noqa: E402

try:
    from hypothesis import HealthCheck, settings
except ImportError:  # the fuzz suite skips itself without hypothesis
    settings = None

if settings is not None:
    # `make test` runs a few thousand examples in total, the same ones on every run (derandomised),
    # so the suite's run time and outcome cannot depend on a draw; `make fuzz` selects the long,
    # randomised campaign that looks for new failures.
    common = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow])
    settings.register_profile("default", max_examples=100, derandomize=True, database=None, **common)
    settings.register_profile("fuzz", max_examples=int(os.environ.get("TESK_FUZZ_EXAMPLES", "20000")),
                              derandomize=False, **common)
    settings.load_profile(os.environ.get("TESK_FUZZ_PROFILE", "default"))


@pytest.fixture
def np_rng():
    """A seeded generator, so every test sees the same random inputs."""
    return np.random.default_rng(20261206)


def unit_square(scene, material_id=0):
    """Add the unit square in z = 0 (two counter-clockwise triangles, normal +z)."""
    v = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], dtype=np.float32)
    return scene.add_mesh(v, np.zeros((0, 3), np.float32), np.array([[0, 1, 2], [0, 2, 3]]), material_id)


@pytest.fixture
def scene():
    return tesk_gpu.EmbreeSceneManager()


@pytest.fixture
def ctrl_c():
    """Sends this process a real SIGINT after `delay` seconds (a long native run holds the
    interpreter lock, so no Python thread could raise it meanwhile). Skips where SIGINT is
    ignored (nohup, some CI runners): the interpreter would never see it."""
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        pytest.skip("SIGINT is ignored in this process")
    killers = []

    def send(delay=0.3):
        killers.append(subprocess.Popen(["sh", "-c", f"sleep {delay}; kill -INT {os.getpid()}"]))

    yield send
    for killer in killers:
        killer.wait()
