"""Sphinx configuration of the tovrel documentation.

Build (warnings are errors, broken references included):

    .venv/bin/python -m sphinx -W --keep-going -n -b html docs build/docs

The reference is generated from the docstrings of the installed modules, so build after
scripts/setup.sh has installed the current sources.
"""
import importlib.metadata

import torch  # noqa: F401  (the extension modules load torch's libraries)

project = "tovrel"
author = "the tovrel developers"
copyright = "the tovrel developers"
release = importlib.metadata.version("tovrel")
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
]

source_suffix = {".md": "markdown"}
root_doc = "index"
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

# Docstrings are written in the numpydoc form (Parameters, Returns, Raises, Examples).
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False
napoleon_use_ivar = True  # attributes listed within their class, not as separate objects
# `name` in a docstring is code, as in the Markdown pages.
default_role = "code"
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": False}

# Every reference must resolve, except those to names outside this project: the machine that
# builds the documentation fetches no other project's inventory.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(torch|numpy|np|typing|collections\.abc|os|dask|distributed)(\..*)?"),
    (r"py:.*", r"(int|float|str|bytes|bool|object|list|tuple|dict|set|None|Any|Optional|Union"
               r"|Sequence|Mapping|Iterable|Iterator|Callable|SupportsFloat|SupportsIndex"
               r"|SupportsInt|Literal|Exception|ValueError|TypeError|RuntimeError|OSError"
               r"|BrokenPipeError|KeyboardInterrupt|IO|PathLike|Tensor)"),
    # Words and values of the numpydoc type descriptions ("int, optional", '"raise" or callable').
    (r"py:class", r"(optional|sequence|iterable|callable|mapping|mappings|\".*\"|.* .*)"),
]

html_theme = "furo"
html_title = f"tovrel {release}"
