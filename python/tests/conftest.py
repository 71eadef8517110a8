# Test setup: the binding from this source tree, the library from FOLIAN_LIBRARY (set by
# scripts/test.sh) or else the release build, and the tool built beside it.
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "python"))
if "FOLIAN_LIBRARY" not in os.environ:
    os.environ["FOLIAN_LIBRARY"] = os.path.join(ROOT, "build", "release", "libfolian.so")
