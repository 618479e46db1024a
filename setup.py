# SPDX-License-Identifier: MIT
# The Python module ravlox: its compiled part, ravlox._core, is built from
# the program's own sources in src/ (the reader, the validation, the
# conversion and the command-line driver) and python/_core.cpp, which
# hands their results to Python. The rest of the package metadata is in
# pyproject.toml.
from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

# Compiles the sources side by side (RAVLOX_BUILD_JOBS of them; the
# processor count when unset).
ParallelCompile("RAVLOX_BUILD_JOBS").install()

core = Pybind11Extension(
    "ravlox._core",
    sources=[
        "python/_core.cpp",
        "src/common/state.cpp",
        "src/common/fileio.cpp",
        "src/tokenfile/tokenfile.cpp",
        "src/matout/matwr.cpp",
        "src/matout/convert.cpp",
        "src/driver/driver.cpp",
    ],
    include_dirs=["src"],
    cxx_std=20,
    # Built as the program's release build is (-O3). Python's own flags add
    # -fwrapv, which the program is not built with and which keeps the
    # sample scaling loop from becoming vector instructions.
    extra_compile_args=["-O3", "-fno-wrapv"],
)

setup(
    package_dir={"": "python"},
    packages=["ravlox"],
    ext_modules=[core],
    cmdclass={"build_ext": build_ext},
)
