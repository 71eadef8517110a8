# Builds the package `folian` from folian.py, its type marker and the shared library, which
# is FOLIAN_LIBRARY when set, else built here with CMake (FOLIAN_BUILD_DIR, default
# build/python at the project's root). The library goes beside the module, where it is
# looked for first.
import os
import re
import shutil
import subprocess
import sys

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def version():
    header = open(os.path.join(ROOT, "include", "folian.h")).read()
    return re.search(r'#define FOLIAN_VERSION_STRING "([^"]+)"', header).group(1)


def library_name():
    if sys.platform == "win32":
        return "libfolian.dll"
    return "libfolian.1.dylib" if sys.platform == "darwin" else "libfolian.so.1"


def built_library():
    given = os.environ.get("FOLIAN_LIBRARY")
    if given:
        return given
    build = os.environ.get("FOLIAN_BUILD_DIR") or os.path.join(ROOT, "build", "python")
    subprocess.check_call(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DFOLIAN_BUILD_TOOL=OFF",
                           "-DFOLIAN_INSTALL=OFF", "-DFOLIAN_BUILD_TESTS=OFF"])
    subprocess.check_call(["cmake", "--build", build, "--target", "folian", "-j", str(os.cpu_count() or 2)])
    return os.path.join(build, library_name())


class BuildPackage(build_py):
    def run(self):
        super().run()
        package = os.path.join(self.build_lib, "folian")
        os.makedirs(package, exist_ok=True)
        shutil.copyfile(os.path.join(HERE, "folian.py"), os.path.join(package, "__init__.py"))
        open(os.path.join(package, "py.typed"), "w").close()
        shutil.copyfile(built_library(), os.path.join(package, library_name()))


class NativeDistribution(Distribution):
    """The package is made by BuildPackage, not listed, and holds a native library: the
    build runs build_py and the wheel is tagged for this platform."""

    def has_pure_modules(self):
        return True

    def has_ext_modules(self):
        return True


# Other modules beside folian.py (integrations) install as they are.
MODULES = [f[:-3] for f in os.listdir(HERE) if f.endswith(".py") and f not in ("folian.py", "setup.py")]

setup(version=version(), py_modules=MODULES, cmdclass={"build_py": BuildPackage},
      distclass=NativeDistribution, zip_safe=False)
