"""The reference documents every public name, and the examples in the docstrings run."""
import doctest
import os
import subprocess
import sys

import pytest
import torch  # noqa: F401  (before the extension modules)
from sphinx.util.inventory import InventoryFile

import tovrel
import tovrel_decode
import tovrel_tensors

REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODULES = (tovrel, tovrel_tensors, tovrel_decode)
# tovrel registers its functions with empty docstrings: its reference page is written by hand.
DOCSTRING_MODULES = (tovrel_tensors, tovrel_decode)


def public_names(module):
    if hasattr(module, "__all__"):
        return list(module.__all__)
    return [name for name in vars(module) if not name.startswith("_")]


@pytest.fixture(scope="module")
def documented(tmp_path_factory):
    """The objects of the reference, from the inventory of a fresh build of the site (with
    warnings as errors, as scripts/test.sh builds it)."""
    output = tmp_path_factory.mktemp("site")
    result = subprocess.run([sys.executable, "-m", "sphinx", "-q", "-W", "--keep-going", "-n",
                             "-b", "html",
                             os.path.join(REPOSITORY, "docs"), str(output)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    with open(output / "objects.inv", "rb") as inventory:
        objects = InventoryFile.load(inventory, "", os.path.join)
    return {name for entries in objects.values() for name in entries}


def test_every_public_name_is_in_the_reference(documented):
    missing = [f"{module.__name__}.{name}" for module in MODULES for name in public_names(module)
               if f"{module.__name__}.{name}" not in documented]
    assert not missing
    assert "tovrel_tensors.__version__" in documented
    # The methods and properties a caller uses, too.
    for owner, members in ((tovrel_decode.Decoder, ("submit", "submit_batch", "ready", "reads",
                                                    "close", "skipped")),
                           (tovrel_decode.Writer, ("write", "flush", "close", "abandon")),
                           (tovrel_decode.InvalidRead, ("message",)),
                           (tovrel_tensors.InvalidValues, ("what", "row", "problem"))):
        module = "tovrel_tensors" if owner is tovrel_tensors.InvalidValues else "tovrel_decode"
        for member in members:
            assert f"{module}.{owner.__name__}.{member}" in documented


def test_public_functions_and_classes_have_sectioned_docstrings():
    sections = ("Parameters\n", "Returns\n", "Raises\n", "Attributes\n", "Examples\n")
    for module in DOCSTRING_MODULES:
        assert module.__doc__ and "Examples\n" in module.__doc__, module.__name__
        for name in public_names(module):
            value = getattr(module, name)
            if callable(value) and not (isinstance(value, type) and
                                        issubclass(value, BaseException)):
                assert any(section in (value.__doc__ or "") for section in sections), name


def docstring_examples():
    """The doctests of each module's docstring and of its public names (with their methods)."""
    for module in DOCSTRING_MODULES:
        for name in [None, *public_names(module)]:
            value = module if name is None else getattr(module, name)
            if name is None or callable(value):
                finder = doctest.DocTestFinder(recurse=name is not None, exclude_empty=True)
                qualified = module.__name__ if name is None else f"{module.__name__}.{name}"
                for test in finder.find(value, qualified, module=False, globs={}):
                    if test.examples:
                        yield test


@pytest.mark.parametrize("test", list(docstring_examples()), ids=lambda test: test.name)
def test_docstring_examples_run(test, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    output = []
    runner.run(test, out=output.append)
    assert runner.failures == 0, "".join(output)
