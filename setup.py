"""Build of the `tovrel` and `tovrel_tensors` extension modules and the `tovrel_decode` package.

The numeric core (the sources listed in core-build.txt) knows nothing of Python or torch and is
compiled as C++17 into a static library that both modules link; only the binding units
(src/beam_search_py.cpp, src/tensors_py.cpp, src/loss_py.cpp, src/loss_memory_py.cpp) see torch, whose headers need C++20.
"""
import re

from setuptools import setup
import torch
from torch.utils.cpp_extension import BuildExtension, CppExtension, include_paths


def core_build(key):
    """A line of core-build.txt, which describes the core for this build and for the C++ tests."""
    with open("core-build.txt") as description:
        for line in description:
            if line.startswith(f"{key}:"):
                return line.split(":", 1)[1].split()
    raise KeyError(key)


CORE_FLAGS = core_build("flags")  # -std=c++17, the optimisation level, exact arithmetic
# The binding units share the core's optimisation and arithmetic flags, at the C++ standard that
# torch's headers need.
COMMON_FLAGS = [flag for flag in CORE_FLAGS if not flag.startswith("-std=")]
ABI_FLAG = f"-D_GLIBCXX_USE_CXX11_ABI={int(torch._C._GLIBCXX_USE_CXX11_ABI)}"

core = (
    "tovrel_core",
    {
        "sources": core_build("sources"),
        "cflags": ["-fPIC", ABI_FLAG, *CORE_FLAGS],
        # The AVX-512 forms are crf_avx2.cpp compiled again.
        "obj_deps": {"": core_build("headers"), "src/crf_avx512.cpp": ["src/crf_avx2.cpp"]},
    },
)

HEADERS = [*core_build("headers"), "src/tensor_access.h", "src/tensor_args.h", "src/bus_error.h",
           "src/tensors_docs.h", "src/loss_targets.h", "src/loss_memory.h"]


def project_version():
    with open("pyproject.toml") as project:
        match = re.search(r'^version = "([^"]+)"', project.read(), re.MULTILINE)
    return match.group(1)



def extension(name, sources, openmp=False):
    return CppExtension(
        name,
        sources,
        # torch's headers as system headers: their own -Wextra warnings are not ours to fix.
        extra_compile_args=[
            "-std=c++20",
            f'-DTOVREL_VERSION="{project_version()}"',
            *COMMON_FLAGS,
            *(["-fopenmp"] if openmp else []),
            *(f"-isystem{path}" for path in include_paths()),
        ],
        depends=HEADERS,
        # torch's libraries sit next to this module in site-packages; find them without
        # requiring `import torch` first.
        # torch's own OpenMP runtime (libgomp.so.1 in torch/lib) runs its intra-op threads; with
        # the same soname, the module's parallel regions use that runtime too.
        extra_link_args=["-Wl,-rpath,$ORIGIN/torch/lib", *(["-fopenmp"] if openmp else [])],
    )


# torch has no stable ABI: the modules run only with the torch they were compiled against.
TORCH_REQUIREMENT = f"torch=={torch.__version__.split('+')[0]}"

# What tovrel-decode reads and writes with, pinned like the development environment.
COMMAND_REQUIREMENTS = ["numpy==2.2.6", "dnaio==1.2.4", "xopen==2.1.0", "pysam==0.24.1"]

setup(
    install_requires=[TORCH_REQUIREMENT, *COMMAND_REQUIREMENTS],
    # tovrel-decode --scheduler: decoding on a Dask cluster.
    extras_require={"distributed": ["dask==2026.11.0", "distributed==2026.11.0"]},
    # The command-line decoder, and type stubs for the two extension modules as stub-only
    # packages (PEP 561).
    packages=["tovrel_decode", "tovrel-stubs", "tovrel_tensors-stubs"],
    package_dir={"": "src", "tovrel-stubs": "stubs/tovrel", "tovrel_tensors-stubs":
                 "stubs/tovrel_tensors"},
    package_data={"tovrel-stubs": ["__init__.pyi"], "tovrel_tensors-stubs": ["__init__.pyi"],
                  "tovrel_decode": ["py.typed"]},
    libraries=[core],
    ext_modules=[extension("tovrel", ["src/beam_search_py.cpp"]),
                 extension("tovrel_tensors", ["src/tensors_py.cpp", "src/loss_py.cpp",
                                             "src/loss_memory_py.cpp", "src/bus_error.cpp"],
                           openmp=True)],
    cmdclass={"build_ext": BuildExtension},
)
