"""The interpreter lock is released while the engine computes."""

import random
import threading
from concurrent.futures import ThreadPoolExecutor

import GRIX_CPU
from conftest import not_under_asan
from tree_helpers import random_tree

uniform = GRIX_CPU.compute_tree_edit_distance_uniform


def test_other_python_threads_run_during_a_long_call():
    rng = random.Random(1)
    big1, big2 = random_tree(rng, 2500), random_tree(rng, 2500)
    calling = threading.Event()
    result = []

    def compute():
        calling.set()
        result.append(uniform(*big1, *big2, 1))

    worker = threading.Thread(target=compute)
    worker.start()
    calling.wait()
    # Had the call kept the lock, this loop could not run until it returned.
    iterations = 0
    while worker.is_alive():
        iterations += 1
    worker.join()
    assert result and result[0] > 0
    assert iterations > 10_000


def test_concurrent_calls_on_different_data_agree_with_sequential_ones():
    rng = random.Random(2)
    pairs = [(random_tree(rng, rng.randint(50, 400)), random_tree(rng, rng.randint(50, 400)))
             for _ in range(12)]
    expected = [uniform(*a, *b, 1) for a, b in pairs]
    with ThreadPoolExecutor(max_workers=4) as pool:
        got = list(pool.map(lambda ab: uniform(*ab[0], *ab[1], 2), pairs))
    assert got == expected


@not_under_asan
def test_worker_that_cannot_start_raises_runtime_error_and_leaves_no_thread(tmp_path):
    # Under an address-space limit only a few 8 MB thread stacks fit, so a
    # level asking for 64 workers fails part-way through starting them.
    import subprocess
    import sys
    import textwrap

    script = textwrap.dedent("""
        import resource, GRIX_CPU
        def status(key):
            for line in open("/proc/self/status"):
                if line.startswith(key):
                    return int(line.split()[1])
        import random
        rng = random.Random(5)
        def random_tree(n):  # each node below one on the path to the previous node
            parents, path = [-1], [0]
            for i in range(1, n):
                path = path[:rng.randrange(len(path)) + 1]
                parents.append(path[-1])
                path.append(i)
            return [rng.choice("ab") for _ in range(n)], parents
        # Levels with enough cells (and more pairs than workers) to run on
        # worker threads; the 64 scratch matrices take about 25 MB.
        star1, star2 = random_tree(300), random_tree(300)
        expected = GRIX_CPU.compute_tree_edit_distance_uniform(*star1, *star2, 1)
        limit = status("VmSize:") * 1024 + 40 * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            GRIX_CPU.compute_tree_edit_distance_uniform(*star1, *star2, 64)
            print("no error")
        except RuntimeError as error:
            print("RuntimeError:", error)
        print("threads", status("Threads:"))
        assert GRIX_CPU.compute_tree_edit_distance_uniform(*star1, *star2, 1) == expected
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["RuntimeError: Resource temporarily unavailable", "threads 1"]
