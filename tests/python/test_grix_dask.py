"""grix.dask on real clusters of worker processes: the same results and
arguments as the local functions, time-outs and cancels that stop the
workers, lost workers, memory limits, how the trees travel, results written
by the workers. Every cluster here binds port 0 with no fixed dashboard port,
while the module holds the dashboard's well-known port 8787."""

import _thread
import gc
import inspect
import json
import os
import random
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
from contextlib import contextmanager

import numpy as np
import pytest

import grix
from grix import _core
from grix.batch import square_matrix
from grix_helpers import random_grix_tree

distributed = pytest.importorskip("dask.distributed")
import grix.dask  # noqa: E402
import grix.dask.cluster  # noqa: E402
from grix.dask.tasks import place_in_condensed, square_block  # noqa: E402

from dask.distributed import Client, LocalCluster, wait  # noqa: E402


def random_trees(count, seed, max_nodes=14):
    rng = random.Random(seed)
    return [random_grix_tree(rng, rng.randint(0, max_nodes), "abcd") for _ in range(count)]


def heavy_trees(count, seed, nodes=1500):
    """Trees whose pairs take about a tenth of a second each."""
    rng = random.Random(seed)
    return [random_grix_tree(rng, nodes, "abcd") for _ in range(count)]


def label_cost(x, y):
    return 0 if x == y else (ord(x) * 7 + ord(y) * 3) % 5 - 1


@pytest.fixture(scope="module")
def port_8787_held():
    """Port 8787 taken for the whole module, as by a user's open dashboard: a
    cluster that binds it would fail (its warning is an error here)."""
    holder = socket.socket()
    try:
        holder.bind(("", 8787))
        holder.listen(1)
    except OSError:
        pass  # already taken by someone else, which tests the same
    yield
    holder.close()


def new_cluster(**options):
    return LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", **options)


@pytest.fixture(scope="module")
def client(port_8787_held):
    with new_cluster() as cluster, Client(cluster) as connected:
        yield connected


def workers_are_free(client, seconds=15):
    """Whether every worker runs a new 1 ms task within `seconds`."""
    probes = [client.submit(sum, [k], workers=[address], pure=False)
              for k, address in enumerate(client.nthreads())]
    _, pending = wait(probes, timeout=seconds, return_when="ALL_COMPLETED") if probes else ((), ())
    return not pending


def failure_logs(client):
    return sum("Compute Failed" in text for logs in client.get_worker_logs().values() for _, text in logs)


# --- The same API as the local functions -----------------------------------------

COSTS = [{}, {"rename": label_cost}, {"delete": 0.5, "rename": lambda a, b: 0.0 if a == b else 0.75},
         {"insert": 2**30}, {"delete": {"a": 2, "b": 1, "c": 3, "d": 1}.get}]


@pytest.mark.parametrize("costs", COSTS, ids=["unit", "random", "fractional", "wide", "per-label"])
@pytest.mark.parametrize("normalize", [None, "metric", "max"])
def test_each_function_equals_its_local_twin(client, costs, normalize):
    trees, others = random_trees(40, seed=4, max_nodes=25), random_trees(25, seed=5)
    options = dict(costs, normalize=normalize)
    for local, remote in ((grix.pdist(trees, **options), grix.dask.pdist(trees, client=client, blocks=4, **options)),
                          (grix.cdist(trees, others, **options),
                           grix.dask.cdist(trees, others, client=client, blocks=3, **options)),
                          (grix.paired(trees[:25], others, **options),
                           grix.dask.paired(trees[:25], others, client=client, blocks=4, **options))):
        assert remote.dtype == local.dtype and remote.shape == local.shape
        assert np.array_equal(remote, local)
    if normalize is None:
        threshold = 6.5 if costs.get("delete") == 0.5 else 6
        local, remote = grix.join(trees, threshold, **costs), grix.dask.join(trees, threshold, client=client, **costs)
        assert list(remote) == list(local) and remote.counts == local.counts
    if normalize is None and not costs:
        for k, limit in ((1, None), (3, 7), (50, None)):
            local = grix.nearest(others, trees, k, max_distance=limit)
            remote = grix.dask.nearest(others, trees, k, max_distance=limit, client=client, blocks=4)
            assert np.array_equal(remote.index, local.index) and np.array_equal(remote.distance, local.distance)
            assert remote.counts == local.counts
        assert grix.dask.nearest([], trees, client=client).index.shape == grix.nearest([], trees).index.shape
    if costs == {}:
        assert np.array_equal(grix.dask.pdist(trees, client=client, dtype=np.uint8), grix.pdist(trees, dtype=np.uint8))
        assert grix.dask.cdist(trees, others, client=client, dtype="float32").dtype == np.float32
    if normalize is None:
        for local, remote in ((grix.pdist(trees, max_distance=3, **costs),
                               grix.dask.pdist(trees, client=client, blocks=4, max_distance=3, **costs)),
                              (grix.cdist(trees, others, max_distance=3, **costs),
                               grix.dask.cdist(trees, others, client=client, blocks=3, max_distance=3, **costs)),
                              (grix.paired(trees[:25], others, max_distance=3, **costs),
                               grix.dask.paired(trees[:25], others, client=client, max_distance=3, **costs))):
            assert remote.dtype == local.dtype and np.array_equal(remote, local)


def test_arguments_as_the_local_functions_take_them(client):
    trees = random_trees(12, seed=8)
    address = client.scheduler.address
    assert np.array_equal(grix.dask.pdist(trees, client=address), grix.pdist(trees))
    # A time-out of zero stops nothing that finishes at once, here as locally.
    assert np.array_equal(grix.dask.pdist(trees[:3], client=client, timeout=0), grix.pdist(trees[:3], timeout=0))
    with pytest.raises(TypeError, match="client"):
        grix.dask.pdist(trees, client=42)
    with pytest.raises(ValueError, match="normalize"):
        grix.dask.pdist(trees, client=client, normalize="mean")


def test_the_package_shows_its_calls_and_modules_and_nothing_it_imports():
    names = {name for name in dir(grix.dask) if not name.startswith("_")}
    own_modules = {name for name in names if inspect.ismodule(getattr(grix.dask, name))
                   and getattr(grix.dask, name).__name__ == f"grix.dask.{name}"}
    # No np, math, Any or helper function leaks in beside the calls.
    assert names - own_modules == set(grix.dask.__all__)
    assert sorted(grix.dask.__all__) == ["cdist", "cdist_array", "join", "nearest", "paired", "pdist", "square_array"]
    assert not {"np", "math", "Any", "connect", "pack"} & names


def test_the_package_imports_without_dask_and_its_calls_say_what_is_missing():
    # None in sys.modules makes an import fail as for a package not installed.
    script = textwrap.dedent("""
        import sys
        for name in ("dask", "distributed"):
            sys.modules[name] = None
        import grix.dask
        tree = grix.Tree.from_bracket("{a}")
        try:
            grix.dask.pdist([tree, tree])
        except ImportError as error:
            print("ImportError", error.name)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ImportError", "dask.distributed"]


@pytest.mark.parametrize("name", ["pdist", "cdist", "paired", "join", "nearest"])
def test_every_local_argument_is_taken_by_the_dask_twin(name):
    local = inspect.signature(getattr(grix, name)).parameters
    remote = inspect.signature(getattr(grix.dask, name)).parameters
    # workers=1, as Dask already runs one task per worker thread.
    for argument, parameter in local.items():
        assert argument in remote, argument
        assert remote[argument].kind == parameter.kind, argument
        assert remote[argument].default == parameter.default or argument == "workers", argument


def random_json(rng, depth=0):
    """Objects, arrays and literals (a document is an object or an array),
    a few keys and values reused so that documents share labels."""
    kind = rng.random() * 0.6 if depth == 0 else rng.random() if depth < 3 else 1.0
    if kind < 0.35:
        return {rng.choice("abcde"): random_json(rng, depth + 1) for _ in range(rng.randint(0, 4))}
    if kind < 0.6:
        return [random_json(rng, depth + 1) for _ in range(rng.randint(0, 4))]
    return rng.choice([1, 2, "a", "x", None, True, 2.5])


def test_json_semantics_on_the_cluster_equals_the_local_calls(client):
    rng = random.Random(24)
    docs = [random_json(rng) for _ in range(40)]
    texts = [json.dumps(doc) for doc in docs[:15]]  # documents as text too
    others = [grix.Tree.from_json(doc) for doc in docs[15:]]  # and as JSON trees
    for local, remote in ((grix.pdist(docs, semantics="json"),
                           grix.dask.pdist(docs, client=client, blocks=3, semantics="json")),
                          (grix.cdist(texts, others, semantics="json"),
                           grix.dask.cdist(texts, others, client=client, blocks=2, semantics="json")),
                          (grix.paired(texts, others[:15], semantics="json"),
                           grix.dask.paired(texts, others[:15], client=client, blocks=4, semantics="json"))):
        assert remote.dtype == local.dtype == np.int32 and np.array_equal(remote, local)
    for threshold in (0, 3):
        local, remote = grix.join(docs, threshold, semantics="json"), \
            grix.dask.join(docs, threshold, client=client, semantics="json")
        assert list(remote) == list(local) and remote.counts == local.counts
    with pytest.raises(ValueError, match="takes no rename"):
        grix.dask.pdist(docs, client=client, semantics="json", rename=label_cost)
    with pytest.raises(ValueError, match="semantics must be"):
        grix.dask.cdist(docs, docs, client=client, semantics="unordered")


def test_worker_thread_count_is_counted_on_the_workers(client, monkeypatch):
    def counted_here():
        raise AssertionError("workers=None counted on the client")

    monkeypatch.setattr(sys.modules["grix.distance"], "all_cores", counted_here)
    trees = random_trees(30, seed=9)
    assert np.array_equal(grix.dask.pdist(trees, client=client, workers=None), grix.pdist(trees, workers=1))
    assert list(grix.dask.join(trees, 3, client=client, workers=None)) == list(grix.join(trees, 3, workers=1))


def test_diagonal_blocks_with_costs_that_make_d_t_t_negative(client):
    # The diagonal blocks must be known as such without comparing payloads,
    # which reach the workers as copies.
    trees = [grix.Tree.from_bracket(text) for text in ("{a}", "{b{a}}", "{a{b}{a}}", "{b}", "{a{a}}")]

    def rename(x, y):
        return -1 if x == y else (2 if x < y else 1)

    expected = square_matrix(grix.pdist(trees, rename=rename), 5)
    for blocks in (1, 2, 5):
        lazy = grix.dask.square_array(trees, client=client, blocks=blocks, rename=rename)
        assert np.array_equal(lazy.compute(), expected)
        assert np.array_equal(grix.dask.pdist(trees, client=client, blocks=blocks, rename=rename),
                              grix.pdist(trees, rename=rename))


def test_progress_bar_counts_pairs(client, capsys):
    grix.dask.pdist(random_trees(30, seed=6), client=client, blocks=3, progress=True)
    err = capsys.readouterr().err
    assert "435/435" in err and "pair" in err


# --- How the trees travel --------------------------------------------------------

def arrays_in(value):
    """The numpy arrays inside a task's arguments, however nested."""
    if isinstance(value, np.ndarray):
        return [value]
    if isinstance(value, (list, tuple)):
        return [a for item in value for a in arrays_in(item)]
    if isinstance(value, dict):
        return [a for item in value.values() for a in arrays_in(item)]
    return []


def test_trees_travel_packed_and_the_rename_table_once(client, monkeypatch):
    sent = []
    original_submit, original_scatter = Client.submit, Client.scatter

    def submit(self, function, *args, **kwargs):
        sent.extend(arrays_in(args))
        return original_submit(self, function, *args, **kwargs)

    def scatter(self, data, *args, **kwargs):
        sent.extend(arrays_in(data))
        return original_scatter(self, data, *args, **kwargs)

    monkeypatch.setattr(Client, "submit", submit)
    monkeypatch.setattr(Client, "scatter", scatter)
    # 400 distinct labels: a rename table of 160,000 entries.
    rng = random.Random(10)
    labels = [f"l{k}" for k in range(400)]
    trees = [grix.Tree.from_parents([rng.choice(labels) for _ in range(8)], [-1, 0, 0, 1, 1, 2, 2, 0])
             for _ in range(300)]
    rename = lambda a, b: 0 if a == b else 1 + (a < b)  # noqa: E731
    for call in (lambda: grix.dask.cdist(trees[:150], trees[150:], client=client, blocks=3, rename=rename),
                 lambda: grix.dask.paired(trees[:150], trees[150:], client=client, blocks=3, rename=rename),
                 lambda: grix.dask.pdist(trees[:150], client=client, blocks=3, rename=rename)):
        sent.clear()
        call()
        table_bytes = 400 * 400 * 4
        tree_bytes = sum(len(tree) for tree in trees) * 8
        assert sum(a.nbytes for a in sent) < table_bytes * 1.5 + tree_bytes * 2
        # A few flat arrays per range of trees, not some per tree.
        assert len(sent) <= 40


def test_join_index_is_built_once_on_the_client(client):
    trees = random_trees(150, seed=16, max_nodes=20)
    expected = {threshold: grix.join(trees, threshold) for threshold in (1, 4)}
    on_workers, here = client.run(_core.join_index_builds), _core.join_index_builds()
    for threshold, local in expected.items():
        remote = grix.dask.join(trees, threshold, client=client, blocks=6)
        assert list(remote) == list(local) and remote.counts == local.counts
    # One build per call, here; the workers restore it from its state.
    assert _core.join_index_builds() == here + len(expected)
    assert client.run(_core.join_index_builds) == on_workers


# --- Time-outs and cancels -------------------------------------------------------

def test_timeout_stops_the_workers_quietly_and_says_what_ran_out(client):
    trees = heavy_trees(30, seed=7)  # one block of 435 pairs: a minute of work
    logged = failure_logs(client)
    with pytest.raises(TimeoutError, match=r"grix.dask.pdist did not finish within its timeout of 1.0 s: "
                                           r"a block of 30 x 30 trees ran out of time after 1\.\d+ s"):
        grix.dask.pdist(trees, client=client, blocks=1, timeout=1.0)
    with pytest.raises(TimeoutError, match=r"grix.dask.join did not finish within its timeout of 1.0 s"):
        grix.dask.join(trees, 10**6, client=client, blocks=2, timeout=1.0)
    assert workers_are_free(client)
    # An expected end: no worker logs an error traceback for it.
    assert failure_logs(client) == logged


@pytest.mark.parametrize("call", ["cdist", "paired"])
def test_timeout_of_every_function_says_what_ran_out_and_after_how_long(client, call):
    trees = heavy_trees(30, seed=7)
    calls = {"cdist": lambda: grix.dask.cdist(trees[:15], trees[15:], client=client, blocks=1, timeout=1.0),
             "paired": lambda: grix.dask.paired(trees * 2, trees[::-1] * 2, client=client, blocks=1, timeout=1.0)}
    # The worker's own report, or the client's once the round trips lag.
    with pytest.raises(TimeoutError, match=rf"^grix.dask.{call} did not finish within its timeout of 1.0 s: "
                                           r"(a block of .* ran out of time after \d+\.\d+ s on its worker|"
                                           r"blocks were still waiting or running) "
                                           r"\(\d+ of \d+ blocks done in \d+\.\d+ s\)$"):
        calls[call]()
    assert workers_are_free(client)


def test_deadline_is_measured_on_the_workers_clock(client):
    trees = random_trees(40, seed=11)

    def shift_clock(seconds):
        if not hasattr(time, "unshifted_time"):
            time.unshifted_time = time.time
        time.time = lambda: time.unshifted_time() + seconds

    def restore_clock():
        time.time = getattr(time, "unshifted_time", time.time)

    try:
        # The workers' wall clocks two minutes ahead. (Behind, Dask itself
        # stalls; the workers' deadlines never read the wall clock anyway.)
        client.run(shift_clock, 120)
        assert np.array_equal(grix.dask.pdist(trees, client=client, blocks=3, timeout=30), grix.pdist(trees))
        assert np.array_equal(grix.dask.paired(trees, trees[::-1], client=client, timeout=30),
                              grix.paired(trees, trees[::-1]))
        assert np.array_equal(grix.dask.cdist(trees[:10], trees, client=client, timeout=30),
                              grix.cdist(trees[:10], trees))
        assert list(grix.dask.join(trees, 4, client=client, timeout=30)) == list(grix.join(trees, 4))
    finally:
        client.run(restore_clock)


def test_dropping_or_cancelling_a_result_stops_its_running_blocks(client):
    trees = heavy_trees(30, seed=12)
    lazy = grix.dask.square_array(trees, client=client, blocks=1)
    time.sleep(1.0)  # the block is running
    del lazy
    gc.collect()
    assert workers_are_free(client)

    stop = threading.Event()

    def interrupt_soon():
        # Ctrl-C arrives as KeyboardInterrupt in the waiting thread; a cancel
        # from elsewhere ends the wait the same way.
        stop.wait(1.0)
        for key in list(client.futures):
            distributed.Future(key, client).cancel()

    helper = threading.Thread(target=interrupt_soon)
    helper.start()
    with pytest.raises((distributed.client.FutureCancelledError, RuntimeError)):
        grix.dask.pdist(trees, client=client, blocks=2)
    helper.join()
    assert workers_are_free(client)


def test_ctrl_c_cancels_the_running_blocks(client):
    trees = heavy_trees(30, seed=18)  # a minute of work
    logged = failure_logs(client)
    # Ctrl-C as the interpreter delivers it: KeyboardInterrupt in the main
    # thread, which waits for the blocks.
    ctrl_c = threading.Timer(1.0, _thread.interrupt_main)
    ctrl_c.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            grix.dask.pdist(trees, client=client, blocks=2)
    finally:
        ctrl_c.cancel()
    assert workers_are_free(client)
    assert failure_logs(client) == logged


# --- Results bigger than the client ------------------------------------------------

@pytest.mark.parametrize("call", ["pdist", "cdist"])
def test_results_written_by_the_workers_to_a_npy_file(client, tmp_path, call):
    trees = random_trees(60, seed=13)
    path = str(tmp_path / f"{call}.npy")
    inputs = (trees,) if call == "pdist" else (trees[:25], trees)
    result = getattr(grix.dask, call)(*inputs, client=client, blocks=4, rename=label_cost, out=path)
    expected = getattr(grix, call)(*inputs, rename=label_cost)
    assert isinstance(result, np.memmap)
    loaded = np.load(path)
    assert loaded.dtype == expected.dtype and np.array_equal(loaded, expected)
    with pytest.raises(ValueError, match="normalize"):
        getattr(grix.dask, call)(*inputs, client=client, out=path, normalize="max")


@pytest.mark.parametrize("costs", [{}, {"rename": label_cost}, {"delete": 0.5}], ids=["unit", "random", "fractional"])
def test_cdist_array_is_cdist_as_a_lazy_array(client, costs):
    trees, others = random_trees(30, seed=19), random_trees(17, seed=20)
    expected = grix.cdist(trees, others, **costs)
    for blocks in (1, 4):
        lazy = grix.dask.cdist_array(trees, others, client=client, blocks=blocks, **costs)
        assert lazy.shape == expected.shape and lazy.dtype == expected.dtype
        assert np.array_equal(lazy.compute(), expected)
    # Reduced on the cluster: only the row minima reach the client.
    assert np.array_equal(lazy.min(axis=1).compute(), expected.min(axis=1))
    assert grix.dask.cdist_array([], others, client=client).compute().shape == (0, 17)
    with pytest.raises(TypeError, match="outlives"):
        grix.dask.cdist_array(trees, others, client=client.scheduler.address)


def test_dropping_a_cdist_array_stops_its_running_blocks(client):
    trees = heavy_trees(20, seed=21)
    lazy = grix.dask.cdist_array(trees[:10], trees[10:], client=client, blocks=1)
    time.sleep(1.0)  # the block is running
    del lazy
    gc.collect()
    assert workers_are_free(client)



def test_diagonal_blocks_without_index_arrays(monkeypatch):
    rng = np.random.default_rng(0)
    expected = {}
    for count in (0, 1, 2, 7):
        condensed = rng.integers(-5, 5, count * (count - 1) // 2).astype(np.int32)
        expected[count] = condensed, square_matrix(condensed, count)
    # Trees 2 to 5 of 9: their block's own condensed vector, and where its
    # pairs lie in the vector of all 9.
    full = rng.integers(-5, 5, 36).astype(np.int32)
    inner = square_matrix(full, 9)[2:6, 2:6][np.triu_indices(4, 1)]
    where = np.zeros(36, dtype=bool)
    where[[i * 9 - i * (i + 1) // 2 + j - i - 1 for i in range(2, 6) for j in range(i + 1, 6)]] = True

    def refused(*args, **kwargs):
        raise AssertionError("index arrays of a block's size")

    # A diagonal block of 4 Mi pairs would take 64 MiB of int64 indices.
    for name in ("triu_indices", "tril_indices", "indices", "nonzero"):
        monkeypatch.setattr(np, name, refused)
    for count, (condensed, square) in expected.items():
        assert np.array_equal(square_block(condensed, count), square)
    placed = np.zeros(36, dtype=np.int32)
    place_in_condensed(placed, 9, (2, 6), (2, 6), inner, True)
    assert np.array_equal(placed[where], full[where]) and not placed[~where].any()


# --- Lost workers and memory limits ------------------------------------------------

def worker_pids(client):
    return client.run(os.getpid)


def test_lost_workers_cost_only_their_blocks(port_8787_held):
    trees = heavy_trees(14, seed=14, nodes=600)  # some 3 s of work
    expected = grix.pdist(trees, workers=2)
    with new_cluster() as cluster, Client(cluster) as client:
        before = worker_pids(client)

        def kill_the_busy_workers():
            # As soon as blocks run (whatever the machine's speed), every busy
            # worker dies, and its nanny starts another.
            deadline = time.monotonic() + 60
            while not (busy := busy_workers(client)) and time.monotonic() < deadline:
                time.sleep(0.02)
            for address, pid in before.items():
                if address in busy:
                    os.kill(pid, signal.SIGKILL)

        killer = threading.Thread(target=kill_the_busy_workers)
        killer.start()
        result = grix.dask.pdist(trees, client=client, blocks=4, timeout=120)
        killer.join()
        assert np.array_equal(result, expected)
        assert set(before.values()) - set(worker_pids(client).values()), "no worker was killed"


@contextmanager
def workers_without_nanny(count):
    """A scheduler and `count` worker processes started with no nanny, as
    on machines of their own: a killed worker stays dead."""
    with LocalCluster(n_workers=0, processes=True, dashboard_address=":0") as cluster, Client(cluster) as client:
        command = [sys.executable, "-m", "distributed.cli.dask_worker", cluster.scheduler_address, "--no-nanny",
                   "--nthreads", "1", "--no-dashboard", "--host", "127.0.0.1"]
        processes = [subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL) for _ in range(count)]
        try:
            client.wait_for_workers(count, timeout=120)
            yield client, processes
        finally:
            for process in processes:
                process.kill()
                process.wait()


def kill_when_busy(client, choose):
    """A thread that, once blocks run, SIGKILLs the worker processes that
    choose(busy addresses, pids by address) picks, and records them."""
    pids = worker_pids(client)
    killed = []

    def kill():
        deadline = time.monotonic() + 60
        while not (busy := busy_workers(client)) and time.monotonic() < deadline:
            time.sleep(0.02)
        for address in choose(busy, pids):
            os.kill(pids[address], signal.SIGKILL)
            killed.append(address)

    thread = threading.Thread(target=kill)
    thread.start()
    return thread, killed


def test_a_killed_busy_worker_costs_only_its_blocks():
    trees = heavy_trees(14, seed=22, nodes=600)  # some 3 s of work
    expected = grix.pdist(trees, workers=2)
    with workers_without_nanny(2) as (client, _):
        killer, killed = kill_when_busy(client, lambda busy, pids: sorted(busy)[:1])
        result = grix.dask.pdist(trees, client=client, blocks=4, timeout=120)
        killer.join()
        assert killed and np.array_equal(result, expected)
        # The survivor did the lost worker's blocks; nothing replaced it.
        assert killed[0] not in client.nthreads() and len(client.nthreads()) == 1


def test_with_every_worker_lost_the_call_says_so(monkeypatch):
    # gather_blocks reads the constant from its own module at each check.
    monkeypatch.setattr(grix.dask.cluster, "WORKERLESS_SECONDS", 1.0)
    trees = heavy_trees(14, seed=23, nodes=600)
    with workers_without_nanny(2) as (client, _):
        killer, killed = kill_when_busy(client, lambda busy, pids: sorted(pids))
        # timeout=120 bounds the wait should the loss go unnoticed.
        with pytest.raises(RuntimeError, match=r"^grix.dask.pdist: no Dask worker is left in the cluster "
                                               r"\(\d+ of 10 blocks done\)$"):
            grix.dask.pdist(trees, client=client, blocks=4, timeout=120)
        killer.join()
        assert len(killed) == 2 and not client.nthreads()


def busy_workers(client):
    processing = client.processing()
    return {address for address, keys in processing.items() if keys}


def test_worker_memory_limit_refuses_a_pair_that_would_not_fit(port_8787_held):
    # Two 8,000-node trees: about 1 GiB of matrices, against 600 MB a worker.
    rng = random.Random(15)
    trees = [random_grix_tree(rng, 8000, "ab") for _ in range(2)]
    with new_cluster(memory_limit="600MB") as cluster, Client(cluster) as client:
        pids = worker_pids(client)
        with pytest.raises(MemoryError, match=r"needs [\d.]+ [MG]iB .* available \(the process's memory limit of"):
            grix.dask.pdist(trees, client=client, timeout=120)
        assert worker_pids(client) == pids  # no worker died
        assert failure_logs(client) == 0
