"""grix on a Dask cluster, for collections too large for one machine.

The matrix is split into blocks; each block is a task that runs the native
batch (:func:`grix.cdist`'s engine) on a worker. The trees travel packed
(three flat arrays per range of trees) and the cost tables once per call,
each as the result of a task that carries them, so that a worker lost
mid-run costs only its blocks: the scheduler recomputes whatever it held on
the workers that remain. Needs the optional extra: ``pip install grix[dask]``.

>>> from dask.distributed import Client, LocalCluster
>>> client = Client(LocalCluster(n_workers=2, threads_per_worker=1))  # doctest: +SKIP
>>> grix.dask.pdist(trees, client=client)                             # doctest: +SKIP

What runs where: the arguments are checked and the labels encoded (the cost
callables called) on the client, before any task is sent; the distances are
computed on the workers, in blocks; the blocks are gathered, and normalised
when asked, on the client (or written to a file by the workers, ``out=``).

The modules, each importing only those listed before it:
``transfer`` (trees and cost tables sent to the workers), ``tasks`` (what
runs on a worker), ``cluster`` (connecting, and waiting for the blocks),
``blocks`` (splitting the matrix into tasks), then the calls: ``matrices``
(pdist, cdist, paired), ``arrays`` (square_array, cdist_array) and
``joins`` (join, nearest). Dask itself is imported only inside the calls,
so this package imports without the extra installed.
"""

from .arrays import cdist_array, square_array
from .joins import join, nearest
from .matrices import cdist, paired, pdist

__all__ = ["pdist", "cdist", "paired", "square_array", "cdist_array", "join", "nearest"]
