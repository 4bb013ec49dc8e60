"""Builds the package talon's native part with the project's CMake build.

The binding _talon and the libraries of the project that it loads are built
from the source tree above this folder, in a temporary build directory
(Release, only the module's targets), and copied side by side into the
package, where each finds the others through its run path $ORIGIN: the
installed package needs no build tree. The version is the CMake project's.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = Path(__file__).resolve().parent.parent


def project_version():
    """The version in the top-level CMakeLists.txt's project() call."""
    cmake_lists = SOURCE / "CMakeLists.txt"
    if not cmake_lists.is_file():
        sys.exit("talon builds from the project's source tree: %s is missing "
                 "(build the wheel from the tree, not from an sdist)" % cmake_lists)
    match = re.search(r"^project\(talon VERSION ([0-9.]+)", cmake_lists.read_text(), re.M)
    return match.group(1)


class CMakeBuild(build_ext):
    """Builds _talon with CMake and copies the module and its libraries into the package."""

    def build_extension(self, ext):
        package = Path(self.get_ext_fullpath(ext.name)).parent
        package.mkdir(parents=True, exist_ok=True)
        parallel = [] if "CMAKE_BUILD_PARALLEL_LEVEL" in os.environ else [
            "--parallel", str(os.cpu_count() or 1)]
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        with tempfile.TemporaryDirectory(prefix="talon-wheel-") as temp:
            build, stage = Path(temp, "build"), Path(temp, "stage")
            self._run("cmake", "-S", SOURCE, "-B", build, *generator,
                      "-DCMAKE_BUILD_TYPE=Release", "-DTALON_PYTHON_WHEEL=ON",
                      "-DTALON_BUILD_TESTS=OFF", "-DTALON_BUILD_BENCHMARKS=OFF",
                      "-DTALON_PYTHON=" + sys.executable)
            self._run("cmake", "--build", build, "--target", "talon_python", *parallel)
            self._run("cmake", "--install", build, "--component", "python_wheel",
                      "--prefix", stage)
            for built in (stage / "talon").iterdir():
                shutil.copy(built, package / built.name)

    @staticmethod
    def _run(*command):
        print(" ".join(map(str, command)), flush=True)
        subprocess.run(command, check=True)


setup(
    version=project_version(),
    packages=["talon"],
    package_data={"talon": ["py.typed", "*.pyi"]},
    zip_safe=False,
    ext_modules=[Extension("talon._talon", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
