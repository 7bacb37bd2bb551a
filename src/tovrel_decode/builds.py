"""The identity of this build of tovrel: what a cluster's client and workers compare, since the
version alone stays the same across rebuilds. It changes whenever the code that decodes does:
the extension modules and the package's own files (each digested), torch and the C library."""
from __future__ import annotations

import functools
import hashlib
import importlib.metadata
import importlib.util
import os
import platform


def digest(paths: list[str]) -> str:
    summary = hashlib.sha256()
    for path in paths:
        summary.update(os.path.basename(path).encode() + b"\0")
        with open(path, "rb") as file:
            for block in iter(lambda: file.read(1 << 20), b""):
                summary.update(block)
    return summary.hexdigest()[:16]


def module_file(name: str) -> str:
    """The file of the module `name`, not imported."""
    spec = importlib.util.find_spec(name)
    if spec is None or spec.origin is None:
        raise ImportError(f"cannot find {name}")
    return spec.origin


@functools.lru_cache(maxsize=None)
def build_identity() -> dict:
    """This process's build, computed once: {part: what it is here}. Nothing is imported: a
    client works this out while it loads torch, and a worker answers before it has."""
    package = os.path.dirname(os.path.abspath(__file__))
    files = sorted(os.path.join(package, name) for name in os.listdir(package)
                   if name.endswith(".py"))
    libc = " ".join(platform.libc_ver()) or "unknown"
    return {"extension modules": digest([module_file("tovrel"), module_file("tovrel_tensors")]),
            "tovrel_decode files": digest(files),
            "torch": importlib.metadata.version("torch"), "C library": libc}


def build_differences(found: dict, expected: dict) -> list[str]:
    """What differs between a worker's build and this one, each named."""
    differences = []
    for part, here in expected.items():
        there = found.get(part)
        if there != here:
            differences.append(f"{part} {there} against {here}" if part in ("torch", "C library")
                               else f"its {part} differ")
    return differences
