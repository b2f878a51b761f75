"""`pip install ./python`: the native module is built by the project's CMake
(the library's client, record and command-line layers from this checkout)
and loads the installed libquillctl.so.1 at run time, so install quillrom
(the .deb or cmake --install) first."""
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        subprocess.check_call(["cmake", "-S", os.path.dirname(HERE), "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                               "-DQUILLROM_BUILD_TESTS=OFF", "-DQUILLROM_BUILD_BENCH=OFF", "-DQUILLROM_WITH_GUI=OFF",
                               # The installed library, not this temporary build's, at run time.
                               "-DCMAKE_SKIP_BUILD_RPATH=ON",
                               f"-DPython3_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", build, "--target", "_quillrom", "-j", str(os.cpu_count() or 2)])
        built = os.path.join(build, "python", "quillrom")
        module = next(f for f in os.listdir(built) if f.startswith("_quillrom") and f.endswith(".so"))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(built, module), target)


def version() -> str:
    with open(os.path.join(os.path.dirname(HERE), "CMakeLists.txt")) as f:
        return re.search(r"project\(Quillrom VERSION ([0-9.]+)", f.read()).group(1)


setup(version=version(), ext_modules=[Extension("quillrom._quillrom", sources=[])], cmdclass={"build_ext": CMakeBuild})
