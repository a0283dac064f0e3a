"""A progress bar for long computations, in percent of the work.

The engine counts its work in dynamic-programming cells, which take roughly
the same time each, so the share of cells done is the share of time spent:
the bar shows that share in percent, and tqdm's estimate of the time left
follows it.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from typing import Any

#: Rough time per cell and per pair, only to decide whether a bar is worth showing.
SECONDS_PER_CELL = 2e-9
SECONDS_PER_PAIR = 1e-6
#: Calls estimated to take longer than this show a bar by default on a terminal.
BAR_SECONDS = 2.0


def wanted(progress: bool | None, seconds: Callable[[], float]) -> bool:
    """Whether to show a bar: as `progress` says, or by default when stderr
    is a terminal and the work is estimated at over BAR_SECONDS."""
    if progress is not None:
        return bool(progress)
    return sys.stderr.isatty() and seconds() > BAR_SECONDS


class WorkBar:
    """A tqdm bar over `total_cells` of work; `update` takes the cells done so
    far. It shows percent, or, given `pairs`, the pairs that share of the
    cells stands for: a pair counts by its cells, its share of the time, so
    the time left holds where pairs differ in size (counting finished pairs
    would make large pairs stall the bar and small ones race it). A context
    manager that yields its update function, or None when no bar is shown."""

    def __init__(self, show: bool, total_cells: float, pairs: int | None = None) -> None:
        self.bar: Any = None
        self.total = max(float(total_cells), 1.0)
        self.scale = 100.0 if pairs is None else float(pairs)
        self.whole = pairs is not None  # pairs advance one at a time
        if show:
            from tqdm.auto import tqdm

            if pairs is None:
                self.bar = tqdm(total=100.0, unit="%", dynamic_ncols=True,
                                bar_format="{l_bar}{bar}| {n:.0f}% [{elapsed}<{remaining}]")
            else:
                # Below a thousand pairs, whole numbers ("53/351 pair"): tqdm's
                # scaled units would show "53.0/351".
                self.bar = tqdm(total=pairs, unit="pair", unit_scale=pairs >= 1000, dynamic_ncols=True)

    def update(self, cells_done: int) -> None:
        if self.bar is not None:
            done = min(self.scale, self.scale * cells_done / self.total)
            if self.whole:
                done = int(done)
            if done > self.bar.n:
                self.bar.update(done - self.bar.n)

    def __enter__(self) -> Callable[[int], None] | None:
        return self.update if self.bar is not None else None

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            if exc[0] is None:
                self.update(int(self.total))
            self.bar.close()


# Below this many trees no bar is shown unless asked for.
BAR_MIN_TREES = 2000


class Bar:
    """A tqdm bar over trees (join) or queries (nearest), or nothing."""

    def __init__(self, progress: bool | None, total: int, unit: str) -> None:
        self.bar: Any = None
        if progress is False or total == 0:
            return
        if progress is None and (not sys.stderr.isatty() or total < BAR_MIN_TREES):
            return
        from tqdm.auto import tqdm

        self.bar = tqdm(total=total, unit=unit, dynamic_ncols=True)

    def update(self, done: int) -> None:
        if self.bar is not None:
            self.bar.update(max(0, min(done, self.bar.total) - self.bar.n))

    def __enter__(self) -> Callable[[int], None] | None:
        return self.update if self.bar is not None else None

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            self.bar.close()
