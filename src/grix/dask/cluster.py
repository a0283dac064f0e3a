"""The client's side of a call: the cluster it runs on, and the wait.

``connect`` finds or starts the cluster; ``gather_blocks`` waits for the
blocks, hands each on as it arrives, advances the progress bar, and ends the
call on a time-out, a stopped task, or a cluster left without workers,
cancelling the tasks still out.
"""

from __future__ import annotations

# Some of Dask's API carries no annotations.
# mypy: disable-error-code="no-untyped-call"

import sys
import time
from collections.abc import Callable, Iterator
from contextlib import ExitStack, contextmanager
from typing import TYPE_CHECKING, Any, Union, cast

from .tasks import Stopped
from .transfer import Block

if TYPE_CHECKING:
    from dask.distributed import Client, Future

#: What the calls take as `client`: a Client, a scheduler's address, or None
#: for a LocalCluster of the call's own.
ClientLike = Union["Client", str, None]

# The client waits this much beyond `timeout` for the cluster's round trips
# before it gives up on blocks that the workers' own deadlines did not end.
ROUND_TRIP_GRACE = 1.0

# Once a cluster that had workers has had none for this long, the call ends
# (a nanny brings a lost worker back within seconds; a machine under load
# may take tens).
WORKERLESS_SECONDS = 60.0


def connect(client: ClientLike, stack: ExitStack) -> Client:
    """The given client; a client of the scheduler at the given address; or a
    client of a new LocalCluster of worker processes (one per core, one
    thread each, no dashboard). Those made here close with `stack`."""
    # Dask is an optional extra, imported by the calls that use it: grix.dask
    # itself imports without it, and a call without it raises ImportError.
    from dask.distributed import Client, LocalCluster

    if isinstance(client, str):
        return cast("Client", stack.enter_context(Client(client)))
    if client is not None:
        if not hasattr(client, "nthreads"):
            raise TypeError(f"client must be a dask.distributed.Client or a scheduler address, "
                            f"not {type(client).__name__}")
        return client
    cluster = stack.enter_context(LocalCluster(threads_per_worker=1, processes=True, dashboard_address=":0"))
    return cast("Client", stack.enter_context(Client(cluster)))


def lasting_client(client: ClientLike, call: str) -> Client:
    """A lazy result's blocks belong to the client that runs them, so the
    client must be one the caller keeps, not one made for the call."""
    if isinstance(client, str) or client is None:
        raise TypeError(f"{call} needs a dask.distributed.Client that outlives the array")
    if not hasattr(client, "nthreads"):
        raise TypeError(f"client must be a dask.distributed.Client, not {type(client).__name__}")
    return client


def cluster_threads(client: Client) -> int:
    """The worker threads of the whole cluster, at least 1."""
    nthreads = cast("dict[str, int]", client.nthreads())  # a dict on a synchronous client
    return max(1, sum(nthreads.values()))


@contextmanager
def pair_bar(progress: bool | None, pairs: int) -> Iterator[Callable[[int], object]]:
    """A tqdm bar over pairs (True: shown; None: shown when stderr is a
    terminal) as a function that advances it."""
    if progress is False or pairs == 0 or progress is None and not sys.stderr.isatty():
        yield lambda done: None
        return
    from tqdm.auto import tqdm

    with tqdm(total=pairs, unit="pair", unit_scale=True, dynamic_ncols=True) as bar:
        yield bar.update


def gather_blocks(client: Client, call: str, tasks: dict[Block, Future[Any]], timeout: float | None,
                  progress: bool | None, pairs: Callable[[int, int], int],
                  place: Callable[[int, int, Any], None]) -> None:
    """Hands each block to `place` as it arrives, so that copying results
    overlaps the computing, and advances the bar by the block's `pairs`.
    Raises TimeoutError once a block reports its time out, or `timeout` plus
    a grace for the round trips has passed; MemoryError for a block the
    worker cannot hold; RuntimeError once a cluster that had workers has
    none left. On any way out but success the tasks are cancelled, which
    stops the running ones."""
    from dask.distributed import as_completed

    block_of = {future.key: block for block, future in tasks.items()}
    total = sum(pairs(r, c) for r, c in tasks)
    start = time.monotonic()
    limit = None if timeout is None else start + timeout + ROUND_TRIP_GRACE
    done = 0

    def timed_out(detail: str) -> TimeoutError:
        return TimeoutError(f"{call} did not finish within its timeout of {timeout!r} s: {detail} "
                            f"({done} of {len(tasks)} blocks done in {time.monotonic() - start:.2f} s)")

    try:
        with pair_bar(progress, total) as advance:
            waiting = as_completed(list(tasks.values()))
            had_workers = bool(client.nthreads())
            workerless_since: float | None = None
            checked = start
            while not waiting.is_empty():
                batch = waiting.next_batch(block=False)
                for future in batch:
                    r, c = block_of[future.key]
                    result = future.result()
                    future.release()
                    if isinstance(result, Stopped):
                        raise stopped_error(call, result, timed_out)
                    place(r, c, result)
                    done += 1
                    advance(pairs(r, c))
                now = time.monotonic()
                if limit is not None and now >= limit:
                    raise timed_out("blocks were still waiting or running")
                if batch:
                    continue
                time.sleep(0.01)
                if had_workers and now - checked >= 0.5:
                    # A cluster that lost every worker would leave the call waiting for good.
                    checked = now
                    if client.nthreads():
                        workerless_since = None
                    elif workerless_since is None:
                        workerless_since = now
                    elif now - workerless_since >= WORKERLESS_SECONDS:
                        raise RuntimeError(f"{call}: no Dask worker is left in the cluster "
                                           f"({done} of {len(tasks)} blocks done)")
    except BaseException:
        client.cancel(list(tasks.values()))
        raise


def stopped_error(call: str, stopped: Stopped, timed_out: Callable[[str], TimeoutError]) -> BaseException:
    """The error the client raises for a block that came back Stopped."""
    if stopped.reason == "timeout":
        return timed_out(f"{stopped.message} ran out of time after {stopped.seconds:.2f} s on its worker")
    if stopped.reason == "memory":
        return MemoryError(f"{call} on a Dask worker: {stopped.message}")
    return RuntimeError(f"{call}: {stopped.message} was cancelled on its worker")
