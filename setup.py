"""Builds the orb_sdk extension with the project's CMake build (see pyproject.toml)."""
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        configure = [
            "cmake", "-S", ROOT, "-B", build_dir,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DORB_BUILD_TESTS=OFF", "-DORB_BUILD_BENCH=OFF", "-DORB_BUILD_EXAMPLES=OFF",
            "-DORB_BUILD_PYTHON=ON", "-DORB_PYTHON_BUNDLE=ON",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.check_call(configure)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(min(os.cpu_count() or 1, 2)))
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "orb_sdk_python", "-j", jobs])
        # The module and the library beside it (the module finds it through $ORIGIN).
        package = os.path.join(build_dir, "python", "orb_sdk")
        dest = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        os.makedirs(dest, exist_ok=True)
        for name in os.listdir(package):
            if ".so" in name:
                shutil.copyfile(os.path.join(package, name), os.path.join(dest, name))


setup(
    ext_modules=[Extension("orb_sdk._orb_sdk", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build/pip"}},
)
