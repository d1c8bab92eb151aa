"""pytest plugin (-p dwex_lib): tests the module in the directory DWEX_LIB (a
sanitizer build, say) instead of build/lib. It puts that directory first on
the path after the test suite's conftest has added its own, and before any
test file imports the module; the children that tests start find it through
the imported module's location."""

import os
import sys


def pytest_configure(config):
    lib = os.environ.get("DWEX_LIB")
    if lib:
        sys.path.insert(0, lib)
