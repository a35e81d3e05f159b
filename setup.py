"""Builds the ossel._native module with the project's own CMake build.

pyproject.toml holds the package's metadata; this file adds the one step
setuptools cannot express there: the extension module comes from CMake
(Release, module only), built against the headers of the interpreter that
runs the build, and is tagged for the stable ABI of CPython 3.12 and later.
"""
import os
import pathlib
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.install import install

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeExtension(Extension):
    """An extension module that a CMake target builds; setuptools compiles nothing."""

    def __init__(self, name, target, built_file):
        super().__init__(name, sources=[], py_limited_api=True)
        self.target = target
        self.built_file = built_file


class CMakeBuildExt(build_ext):
    """Configures and builds the CMake target of each extension, then copies
    the module where setuptools expects it. The CMake build folder lives under
    build_temp, so a second build of the same checkout only recompiles what
    changed."""

    def build_extension(self, ext):
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir),
                        "-DCMAKE_BUILD_TYPE=Release", "-DOSSEL_MODULE_ONLY=ON",
                        f"-DPython3_EXECUTABLE={sys.executable}"], check=True)
        # Every core, unless CMAKE_BUILD_PARALLEL_LEVEL (which cmake --build
        # reads itself) caps the jobs.
        jobs = [] if "CMAKE_BUILD_PARALLEL_LEVEL" in os.environ else ["-j", str(os.cpu_count() or 1)]
        subprocess.run(["cmake", "--build", str(build_dir), "--target", ext.target, *jobs], check=True)
        destination = pathlib.Path(self.get_ext_fullpath(ext.name))
        destination.parent.mkdir(parents=True, exist_ok=True)
        self.copy_file(str(build_dir / ext.built_file), str(destination))


class InstallWithDebianOptions(install):
    """Debian's setuptools reads the options install_layout and prefix_option
    of the install command, which only Debian's own Python adds; under any
    other interpreter (pyenv's, or a venv of it) building the wheel fails with
    "AttributeError: install_layout". Declaring them, unset, satisfies Debian's
    setuptools and changes nothing for any other setuptools."""

    def initialize_options(self):
        super().initialize_options()
        self.install_layout = None
        self.prefix_option = None


setup(
    ext_modules=[CMakeExtension("ossel._native", "ossel_native", "python/ossel/_native.abi3.so")],
    cmdclass={"build_ext": CMakeBuildExt, "install": InstallWithDebianOptions},
    options={"bdist_wheel": {"py_limited_api": "cp312"}},
)
