"""Runs the code examples of README.md and docs/**/*.md as tests.

The convention, for whoever writes an example:
- every ```python block runs; the blocks of one file run in order, in one namespace, with the
  current directory a fresh temporary directory for that file (so one block may write a file that
  the next reads);
- every ```bash block runs too, as `bash -euo pipefail`, in that same directory, with the bin
  directory of the environment running the tests first on PATH (so `tovrel-decode` is found);
- ```console, ```text and ```sh blocks are shown and never run: setup on a fresh machine,
  deployment on real nodes, output shown for reading.
A block fails its test if it raises or exits with a status other than 0.
"""
import gc
import os
import shutil
import subprocess
import sys
import tempfile
import warnings

from sybil import Sybil
from sybil.parsers.markdown import CodeBlockParser, PythonCodeBlockParser

BIN = os.path.dirname(sys.executable)


class PythonBlocks(PythonCodeBlockParser):
    """Python blocks (plain, or doctest-style) that fail, in one clear line, for a file or other
    resource they leave open; the warning would otherwise surface later, far from its block."""

    def __call__(self, document):
        for region in super().__call__(document):
            region.evaluator = leaving_nothing_open(region.evaluator)
            yield region


def leaving_nothing_open(evaluate):
    def evaluated(example):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", ResourceWarning)
            result = evaluate(example)
            gc.collect()
        left_open = [str(warning.message) for warning in caught
                     if issubclass(warning.category, ResourceWarning)]
        if left_open:
            raise AssertionError(f"the block leaves resources open: {'; '.join(left_open)}")
        return result
    return evaluated


def run_bash(example):
    environment = dict(os.environ, PATH=BIN + os.pathsep + os.environ.get("PATH", ""))
    result = subprocess.run(["bash", "-euo", "pipefail", "-c", example.parsed], env=environment,
                            stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if result.returncode != 0:
        raise AssertionError(f"bash block exited with status {result.returncode}\n"
                             f"stdout:\n{result.stdout[-4000:]}\nstderr:\n{result.stderr[-4000:]}")


def enter_directory(namespace):
    namespace["_example_directory"] = tempfile.mkdtemp(prefix="tovrel-example-")
    namespace["_example_return"] = os.getcwd()
    os.chdir(namespace["_example_directory"])


def leave_directory(namespace):
    os.chdir(namespace["_example_return"])
    shutil.rmtree(namespace["_example_directory"], ignore_errors=True)


pytest_collect_file = Sybil(
    parsers=[PythonBlocks(), CodeBlockParser(language="bash", evaluator=run_bash)],
    # Matched from the right (pathlib's match): README.md, and pages up to two levels into docs/.
    patterns=["README.md", "docs/*.md", "docs/*/*.md", "docs/*/*/*.md"],
    setup=enter_directory,
    teardown=leave_directory,
).pytest()
