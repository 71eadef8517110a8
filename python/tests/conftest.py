# Test setup: the binding from this source tree (or with --installed, the package installed in
# the running Python); the library under test from the build folder given by --folian-build
# (scripts/test.sh passes its own) or else from FOLIAN_LIBRARY, and the tool built beside it.
# No build is guessed: a stale one would be tested without a word.
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LIBRARY_NAMES = ("libfolian.so", "libfolian.dylib", "libfolian.dll", "folian.dll")


def pytest_addoption(parser):
    parser.addoption("--folian-build", metavar="DIR",
                     help="build folder holding the library and the tool under test")
    parser.addoption("--installed", action="store_true",
                     help="test the installed package, not python/folian.py of this tree")


def pytest_configure(config):
    if not config.getoption("--installed"):
        sys.path.insert(0, os.path.join(ROOT, "python"))
    build = config.getoption("--folian-build")
    if build:
        found = [os.path.join(build, n) for n in LIBRARY_NAMES if os.path.isfile(os.path.join(build, n))]
        if not found:
            pytest.exit("python tests: no folian library in " + build, returncode=4)
        os.environ["FOLIAN_LIBRARY"] = os.path.abspath(found[0])
    elif not os.environ.get("FOLIAN_LIBRARY"):
        pytest.exit("python tests: say which library to test: --folian-build DIR or FOLIAN_LIBRARY "
                    "(scripts/test.sh python does this)", returncode=4)
