import os
import subprocess
import sys

import pytest


def run_python(code, interpreter=None, env=None):
    """Runs `code` in a fresh interpreter, so that a crash fails one test instead of the run."""
    return subprocess.run(
        [interpreter or sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, **(env or {})},
    )


@pytest.fixture
def python_in_subprocess():
    return run_python


@pytest.fixture
def run(capfd):
    """Runs tovrel-decode in this process: (status, standard output, standard error). The reads
    go to the descriptor itself, so its capture is the descriptor's."""
    from decoder_helpers import run_in_process

    return lambda *args: run_in_process(capfd, *args)
