"""The wheel: CMake builds the extension module and the quarn command (Release, without tests or
benchmarks, in build/wheel), and this puts them where an installed package keeps them, beside the
module's type stubs:

    quarn.<abi>.so             the module, one file at the top of site-packages
    quarn.pyi                  its stubs, next to it for editors
    quarn-stubs/__init__.pyi   the same stubs as a stub-only package, which is how mypy finds stubs
                               of a single-file module that is installed
    bin/quarn                  the command, in the environment's bin folder (a data file: setuptools
                               reads scripts as Python text, which a program is not)

Build and install with `pip install --no-build-isolation .` (see the README's set-up).
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
CMAKE_BUILD = ROOT / "build" / "wheel"
STUB = ROOT / "src" / "lib" / "quarn.pyi"
# The one place the version is written is the CMake project; the module reports the same.
VERSION = re.search(r"project\(quarn VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(CMAKE_BUILD), "-DCMAKE_BUILD_TYPE=Release",
                        f"-DPython3_EXECUTABLE={sys.executable}", "-DQUARN_TESTS=OFF",
                        "-DQUARN_BENCH=OFF"], check=True)
        subprocess.run(["cmake", "--build", str(CMAKE_BUILD), "--target", "quarn", "quarn_cli",
                        "-j", jobs], check=True)
        module = pathlib.Path(self.get_ext_fullpath(ext.name))
        module.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(CMAKE_BUILD / "src" / "lib" / module.name, module)
        shutil.copymode(CMAKE_BUILD / "src" / "lib" / module.name, module)
        shutil.copyfile(STUB, module.parent / "quarn.pyi")
        stubs = module.parent / "quarn-stubs"
        stubs.mkdir(exist_ok=True)
        shutil.copyfile(STUB, stubs / "__init__.pyi")


setup(
    version=VERSION,
    ext_modules=[Extension("quarn", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    data_files=[("bin", ["build/wheel/quarn"])],
    zip_safe=False,
)
