"""Builds velmora's Python module from the library's sources in the
project's tree (../src, ../include), with pybind11 as Debian packages it
(python3-pybind11): no build dependency beyond setuptools, pybind11 and
NumPy, so that `pip install --no-build-isolation ./python` works offline.

The library's sources are copied into build/library first: setuptools puts
an object beside the path of its source under the build folder, and a
source outside this folder would put its object outside it too.
"""
import os
import re
import shutil

from setuptools import setup

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
COPY = os.path.join("build", "library")


def version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        match = re.search(r"^project\(velmora VERSION ([0-9.]+)", f.read(), re.M)
    return match.group(1) if match else "0.0.0"


def library_sources():
    """The library's .cpp files, copied under build/library; the program's
    own driver is left out."""
    if not os.path.isfile(os.path.join(ROOT, "include", "velmora", "velmora.h")):
        raise SystemExit("setup.py: the library's sources are missing: build the module from the project's tree "
                         "(pip install --no-build-isolation ./python)")
    target = os.path.join(HERE, COPY)
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(os.path.join(ROOT, "include"), os.path.join(target, "include"))
    shutil.copytree(os.path.join(ROOT, "src"), os.path.join(target, "src"),
                    ignore=lambda folder, names: ["driver"] if os.path.samefile(folder, os.path.join(ROOT, "src")) else [])
    sources = []
    for folder, _, names in os.walk(os.path.join(target, "src")):
        sources += [os.path.relpath(os.path.join(folder, n), HERE) for n in names if n.endswith(".cpp")]
    return sorted(sources)


# The library's thirty files one by one take over a minute: two at a time
# (VELMORA_JOBS to change).
ParallelCompile("VELMORA_JOBS", default=2).install()


VERSION = version()
extension = Pybind11Extension(
    "velmora._velmora",
    ["src/module.cpp"] + library_sources(),
    include_dirs=[os.path.join(COPY, "include"), os.path.join(COPY, "src")],
    define_macros=[("VELMORA_VERSION", f'"{VERSION}"')],
    cxx_std=20,
    extra_compile_args=["-O2", "-pthread"],
    extra_link_args=["-pthread"],
)

setup(
    name="velmora",
    version=VERSION,
    description="Drift variance between populations over time, from an animal pedigree",
    packages=["velmora"],
    package_data={"velmora": ["py.typed"]},
    ext_modules=[extension],
    python_requires=">=3.9",
    install_requires=["numpy"],
    zip_safe=False,
)
