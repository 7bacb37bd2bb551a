"""The module as Python sees it: import, version guard, registration and argument conversion."""
import os
import shutil
import subprocess

import pytest
import torch

import tovrel

SCORING = ("backward_scores", "forward_scores", "posts")


def test_functions_are_registered_in_order_with_one_signature_each():
    own = [name for name in vars(tovrel) if not name.startswith("__")]
    assert own[-3:] == list(SCORING)
    for name in SCORING:
        doc = getattr(tovrel, name).__doc__
        # An empty docstring leaves the generated signature line alone.
        assert doc.strip().splitlines() == [doc.strip()]
        assert doc.startswith(f"{name}(scores: torch.Tensor, stay_score: ")
        assert "= 2.0) -> list[float]" in doc
    assert tovrel.__doc__ is None
    assert not hasattr(tovrel, "__version__")


def test_stay_score_keyword_and_its_conversions():
    scores = torch.randn(3, 80, generator=torch.Generator().manual_seed(1))
    for name in SCORING:
        function = getattr(tovrel, name)
        expected = function(scores)
        assert function(scores, stay_score=-50.0) == expected
        assert function(scores, 3) == expected
        assert function(scores, True) == expected
        assert function(scores=scores, stay_score=2) == expected
        with pytest.raises(TypeError):
            function(scores, fixed_stay_score=2.0)
        with pytest.raises(TypeError):
            function(scores, stay_score="2.0")
        with pytest.raises(TypeError):
            function()
        with pytest.raises(TypeError):
            function(scores, 2.0, 3.0)
        with pytest.raises(TypeError):
            function(scores.numpy())


def find_python311():
    """CPython 3.11 from pyenv, or from PATH."""
    pyenv = shutil.which("pyenv")
    if pyenv:
        versions = subprocess.run(
            [pyenv, "versions", "--bare"], capture_output=True, text=True
        ).stdout.split()
        for version in sorted(v for v in versions if v.startswith("3.11.")):
            prefix = subprocess.run(
                [pyenv, "prefix", version], capture_output=True, text=True
            ).stdout.strip()
            return os.path.join(prefix, "bin", "python")
    return shutil.which("python3.11")


def test_init_refuses_another_interpreter(python_in_subprocess):
    python311 = find_python311()
    assert python311, "CPython 3.11 is needed to test the interpreter-version guard"
    # 3.11 does not look at a cpython-310 file by itself: load it by path to reach its init.
    code = f"""
import importlib.machinery, importlib.util
path = {tovrel.__file__!r}
loader = importlib.machinery.ExtensionFileLoader("tovrel", path)
spec = importlib.util.spec_from_file_location("tovrel", path, loader=loader)
try:
    importlib.util.module_from_spec(spec)
except ImportError as error:
    print(error)
else:
    print("imported")
"""
    torch_lib = os.path.join(os.path.dirname(torch.__file__), "lib")
    result = python_in_subprocess(code, python311, {"LD_LIBRARY_PATH": torch_lib})
    version = python_in_subprocess("import sys; print(sys.version)", python311).stdout.strip()
    assert result.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.10, "
        f"but the interpreter version is incompatible: {version}."
    ), result.stderr


def test_import_needs_no_prior_torch_import(python_in_subprocess):
    result = python_in_subprocess("import tovrel, sys; print('torch' in sys.modules)")
    assert result.returncode == 0, result.stderr
