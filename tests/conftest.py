import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code: str, timeout: float = 60.0) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter with this one's import path; returns the finished process."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=env)


@pytest.fixture
def python_subprocess():
    return run_python


_core_checks = None  # the test_cores module, when the selection holds its tests


def pytest_collection_finish(session):
    """Starts the builds of the stand-alone core checks (test_cores.py) as soon as the selection is
    known, so that they compile while the tests collected before them run."""
    global _core_checks
    if session.config.option.collectonly:
        return
    cores = [item for item in session.items if item.path.name == "test_cores.py"]
    if cores:
        _core_checks = cores[0].module
        _core_checks.start_builds(cores)


def pytest_sessionfinish(session):
    """Waits for and removes builds that no test collected them for (a run stopped early)."""
    if _core_checks is not None:
        _core_checks.stop_builds()
