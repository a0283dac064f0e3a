import os
import signal

import pytest
from hypothesis import settings

import GRIX_CPU

# Every run draws the same examples and keeps none between runs, so a
# property test gives the same verdict on the same code, in CI and anywhere
# else. `--hypothesis-profile=explore` draws fresh examples for a search by
# hand; a failure it finds is printed with its reproduction blob.
settings.register_profile("fixed", derandomize=True, database=None, print_blob=True)
settings.register_profile("explore", database=None, print_blob=True)
settings.load_profile("fixed")

# A run started in the background of a non-interactive shell (`make test &`,
# nohup) inherits SIGINT ignored, and so would every process the stop tests
# start: their Ctrl-C would do nothing and the tests would fail for the
# harness's sake. A handled signal is reset to the default in a new program,
# so handling it here gives the children Python's usual KeyboardInterrupt.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

# Under AddressSanitizer (preloaded runtime) the address space is reserved up
# front and the module cannot be loaded into another interpreter.
under_asan = "asan" in os.environ.get("LD_PRELOAD", "")
not_under_asan = pytest.mark.skipif(under_asan, reason="not meaningful under AddressSanitizer")


def pytest_report_header(config):
    return f"GRIX_CPU from {GRIX_CPU.__file__}"


def vienna_rna():
    """ViennaRNA's Python module, the RNA tests' reference; skipped where it
    is not installed, and under AddressSanitizer, which stops ViennaRNA's own
    C code (its b2C reads past the end of a string) before our code runs."""
    if under_asan:
        pytest.skip("ViennaRNA's own C code reads out of bounds, which AddressSanitizer stops")
    return pytest.importorskip("RNA")
