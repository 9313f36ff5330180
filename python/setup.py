"""Builds the quorvin package's extension module with the repository's own
CMake build, so that the engine is compiled from the same sources with the
same flags as the program, and its results are the same to the bit."""

import os
import pathlib
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent
SOURCE_DIR = HERE.parent


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        if not (SOURCE_DIR / "src" / "library" / "network.h").exists():
            sys.exit("quorvin: build the package from the repository: pip install ./python")
        import pybind11

        output = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve().parent
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        subprocess.check_call([
            "cmake", "-S", str(SOURCE_DIR), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release", "-DQUORVIN_TESTS=OFF", "-DQUORVIN_PYTHON=ON",
            f"-DQUORVIN_PYTHON_OUTPUT={output}",
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
        ])
        subprocess.check_call(["cmake", "--build", str(build), "--target", "_quorvin",
                               "-j", str(os.cpu_count() or 1)])


setup(ext_modules=[CMakeExtension("quorvin._quorvin")], cmdclass={"build_ext": CMakeBuild})
