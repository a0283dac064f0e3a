"""The memory pre-check as a caller meets it: a request that does not fit in
what the process may still take is refused with MemoryError before resident
memory grows, under an address-space limit and under a cgroup limit, and the
module keeps working. Each case runs in a child interpreter, whose limits and
mounts end with it."""

import os
import random
import re
import subprocess
import sys
import textwrap

import pytest

import GRIX_CPU
from conftest import not_under_asan
from tree_helpers import random_tree

uniform = GRIX_CPU.compute_tree_edit_distance_uniform

# Shared by the child scripts: a long path (refused: its matrices take about
# 1.6 GiB), a path that fits (about 50 MiB, enough to be checked), and a
# measurement of how far resident memory rose during a call.
PRELUDE = textwrap.dedent("""
    import GRIX_CPU
    uniform = GRIX_CPU.compute_tree_edit_distance_uniform

    def status(key):
        for line in open("/proc/self/status"):
            if line.startswith(key):
                return int(line.split()[1])

    def path(n):
        return ["p"] * n, list(range(-1, n - 1))

    def refuse_and_recover():
        big, fits = path(12000), path(2000)
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # the peak resident size restarts from here
        before = status("VmRSS:")
        try:
            print("result", uniform(*big, *big, 1))
        except MemoryError as error:
            print("MemoryError", error)
        print("growth_kib", status("VmHWM:") - before)
        print("fits", uniform(*fits, *fits, 1), uniform(["a", "b"], [-1, 0], ["b"], [-1], 1))
""")


def run_child(script):
    result = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(script)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return dict(line.split(" ", 1) for line in result.stdout.splitlines())


def assert_refused_before_growth(report, limited_by):
    message = report["MemoryError"]
    assert re.fullmatch(r"a distance between trees of 12000 and 12000 nodes needs 1\.\d GiB \(1 worker\); "
                        r"\d+\.\d MiB available \(" + limited_by + r"\)", message), message
    # The converted arguments (two lists of 12,000 labels and parents) are
    # most of what little it grows by.
    assert int(report["growth_kib"]) < 4 * 1024, report
    assert report["fits"] == "0 1"


@not_under_asan
def test_refused_under_an_address_space_limit():
    report = run_child("""
        import resource
        limit = status("VmSize:") * 1024 + 512 * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        refuse_and_recover()
    """)
    assert_refused_before_growth(report, r"RLIMIT_AS less the address space in use")


# The child enters a mount namespace of its own and mounts files of its own
# over its memory cgroup's limit, usage and statistics: a limit of 1 GiB with
# 300 MiB in use. Nothing outside the child sees them.
CGROUP_CHILD = """
    import ctypes, os, sys, tempfile

    def own_cgroup():
        paths = {}
        for line in open("/proc/self/cgroup"):
            number, controllers, cgroup = line.rstrip("\\n").split(":", 2)
            if number == "0" and not controllers:
                paths["cgroup2"] = cgroup
            elif "memory" in controllers.split(","):
                paths["cgroup"] = cgroup
        for line in open("/proc/self/mountinfo"):
            fields = line.split()
            kind, options = fields[fields.index("-") + 1], fields[-1].split(",")
            if fields[3] != "/" or kind not in paths or (kind == "cgroup" and "memory" not in options):
                continue
            directory = fields[4] + paths[kind].rstrip("/")
            limit = "memory.max" if kind == "cgroup2" else "memory.limit_in_bytes"
            if os.path.exists(os.path.join(directory, limit)):
                usage = "memory.current" if kind == "cgroup2" else "memory.usage_in_bytes"
                return paths[kind], directory, limit, usage
        return None

    found = own_cgroup()
    if found is None:
        print("skip no memory cgroup file to stand in for")
        sys.exit()
    cgroup, directory, limit_file, usage_file = found
    libc = ctypes.CDLL(None, use_errno=True)
    MS_BIND, MS_REC, MS_PRIVATE = 0x1000, 0x4000, 0x40000
    try:
        os.unshare(os.CLONE_NEWNS)
    except OSError:
        try:
            os.unshare(os.CLONE_NEWUSER | os.CLONE_NEWNS)
        except OSError as error:
            print("skip cannot enter a mount namespace:", error)
            sys.exit()
    if libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None) != 0:
        print("skip cannot make the mounts private:", os.strerror(ctypes.get_errno()))
        sys.exit()
    files = tempfile.mkdtemp()
    for name, text in [(limit_file, str(2**30)), (usage_file, str(300 * 2**20)),
                       ("memory.stat", "inactive_file 0\\ntotal_inactive_file 0\\n")]:
        with open(os.path.join(files, name), "w") as out:
            out.write(text + "\\n")
        if libc.mount(os.path.join(files, name).encode(), os.path.join(directory, name).encode(),
                      None, MS_BIND, None) != 0:
            print("skip cannot mount over", name + ":", os.strerror(ctypes.get_errno()))
            sys.exit()
    print("cgroup", cgroup.rstrip("/") or "/", limit_file)
    refuse_and_recover()
"""


@not_under_asan
@pytest.mark.skipif(not hasattr(os, "unshare"), reason="os.unshare comes with Python 3.12")
def test_refused_under_a_cgroup_limit():
    report = run_child(CGROUP_CHILD)
    if "skip" in report:
        pytest.skip(report["skip"])
    cgroup, limit_file = report["cgroup"].rsplit(" ", 1)
    assert_refused_before_growth(report, re.escape(f"cgroup {cgroup} {limit_file} less usage"))
    assert re.search(r"; 724\.\d MiB available", report["MemoryError"]), report


def test_refusal_names_what_the_call_needs_and_the_module_keeps_working():
    # Reserving room for 2^31 - 1 scratch matrices is more than any machine
    # commits, so the allocation itself would fail at once, but say only
    # "std::bad_alloc".
    tree = random_tree(random.Random(3), 300)
    with pytest.raises(MemoryError) as refused:
        uniform(*tree, *tree, 2**31 - 1)
    assert re.fullmatch(r"a distance between trees of 300 and 300 nodes needs [\d.]+ TiB "
                        r"\(2147483647 workers\); [\d.]+ [KMGT]iB available \(.+\)", str(refused.value))
    assert uniform(*tree, *tree, 2) == 0
