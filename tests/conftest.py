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
