import os

import pytest

import GRIX_CPU

# Under AddressSanitizer (preloaded runtime) the address space is reserved up
# front and the module cannot be loaded into another interpreter.
under_asan = "asan" in os.environ.get("LD_PRELOAD", "")
not_under_asan = pytest.mark.skipif(under_asan, reason="not meaningful under AddressSanitizer")


def pytest_report_header(config):
    return f"GRIX_CPU from {GRIX_CPU.__file__}"
