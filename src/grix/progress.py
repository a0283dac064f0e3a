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
    """A tqdm bar over `total_cells` of work, shown in percent; `update`
    takes the cells done so far. A context manager that yields its update
    function, or None when no bar is shown."""

    def __init__(self, show: bool, total_cells: float, description: str | None = None) -> None:
        self.bar: Any = None
        self.total = max(float(total_cells), 1.0)
        if show:
            from tqdm.auto import tqdm

            self.bar = tqdm(total=100.0, unit="%", desc=description, dynamic_ncols=True,
                            bar_format="{l_bar}{bar}| {n:.0f}% [{elapsed}<{remaining}]")

    def update(self, cells_done: int) -> None:
        if self.bar is not None:
            percent = min(100.0, 100.0 * cells_done / self.total)
            if percent > self.bar.n:
                self.bar.update(percent - self.bar.n)

    def __enter__(self) -> Callable[[int], None] | None:
        return self.update if self.bar is not None else None

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            if exc[0] is None:
                self.update(int(self.total))
            self.bar.close()
