"""The interpreter lock is released while the engine computes."""

import random
import threading
from concurrent.futures import ThreadPoolExecutor

import GRIX_CPU
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
