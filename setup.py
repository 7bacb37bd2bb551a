"""Build of the `tovrel` and `tovrel_tensors` extension modules.

The numeric core (src/beam_search.cpp, src/fast_hash.cpp) knows nothing of Python or torch and is
compiled as C++17 into a static library; only the binding unit sees torch, whose headers need C++20.
"""
from setuptools import setup
import torch
from torch.utils.cpp_extension import BuildExtension, CppExtension, include_paths

# Exact single-precision arithmetic: no fast-math, no fused multiply-adds.
COMMON_FLAGS = ["-O2", "-Wall", "-Wextra", "-ffp-contract=off", "-fno-fast-math"]
ABI_FLAG = f"-D_GLIBCXX_USE_CXX11_ABI={int(torch._C._GLIBCXX_USE_CXX11_ABI)}"

core = (
    "tovrel_core",
    {
        "sources": ["src/beam_search.cpp", "src/crf_avx2.cpp", "src/fast_hash.cpp"],
        "cflags": ["-std=c++17", "-fPIC", ABI_FLAG, *COMMON_FLAGS],
        "obj_deps": {"": ["src/beam_search.h", "src/crf_kernels.h", "src/fast_hash.h"]},
    },
)

HEADERS = ["src/beam_search.h", "src/fast_hash.h", "src/tensor_io.h"]


def extension(name, source):
    return CppExtension(
        name,
        [source],
        # torch's headers as system headers: their own -Wextra warnings are not ours to fix.
        extra_compile_args=[
            "-std=c++20",
            *COMMON_FLAGS,
            *(f"-isystem{path}" for path in include_paths()),
        ],
        depends=HEADERS,
        # torch's libraries sit next to this module in site-packages; find them without
        # requiring `import torch` first.
        extra_link_args=["-Wl,-rpath,$ORIGIN/torch/lib"],
    )


# torch has no stable ABI: the modules run only with the torch they were compiled against.
TORCH_REQUIREMENT = f"torch=={torch.__version__.split('+')[0]}"

setup(
    install_requires=[TORCH_REQUIREMENT],
    # The command-line decoder, and type stubs for the two extension modules as stub-only
    # packages (PEP 561).
    py_modules=["tovrel_cli"],
    packages=["tovrel-stubs", "tovrel_tensors-stubs"],
    package_dir={"": "src", "tovrel-stubs": "stubs/tovrel", "tovrel_tensors-stubs":
                 "stubs/tovrel_tensors"},
    package_data={"tovrel-stubs": ["__init__.pyi"], "tovrel_tensors-stubs": ["__init__.pyi"]},
    libraries=[core],
    ext_modules=[extension("tovrel", "src/beam_search_py.cpp"),
                 extension("tovrel_tensors", "src/tensors_py.cpp")],
    cmdclass={"build_ext": BuildExtension},
)
