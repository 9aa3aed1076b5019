"""The build step of `pip install`: builds libsealcore with CMake and puts it inside the
package, where the package's _location.py names it."""

import os
import re
import shutil
import subprocess

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

ROOT = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(ROOT, "CMakeLists.txt")) as cmake_lists:
    VERSION = re.search(r"project\(sealcore VERSION ([0-9.]+)", cmake_lists.read()).group(1)
SONAME = "libsealcore.so." + VERSION.split(".")[0]


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        build_dir = os.path.join(self.get_finalized_command("build").build_temp, "libsealcore")
        only_the_library = [
            f"-DSEALCORE_{part}=OFF" for part in ("BUILD_TESTS", "BUILD_EXAMPLES", "INSTALL", "PYTHON")
        ]
        subprocess.check_call(
            ["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release"] + only_the_library
        )
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "sealcore", "-j", jobs])
        package = os.path.join(self.build_lib, "sealcore")
        shutil.copyfile(os.path.join(build_dir, "lib", SONAME), os.path.join(package, SONAME))
        with open(os.path.join(package, "_location.py"), "w") as location:
            location.write(f'# Written by setup.py: the libsealcore beside this file.\nLIBRARY = "{SONAME}"\n')


class WithLibrary(Distribution):
    # The library makes the package one for this platform.
    def has_ext_modules(self):
        return True


setup(
    version=VERSION,
    package_dir={"": "python"},
    packages=["sealcore"],
    cmdclass={"build_py": BuildWithLibrary},
    distclass=WithLibrary,
    options={"build": {"build_base": "build-python"}},
    zip_safe=False,
)
