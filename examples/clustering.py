"""Clustering syntax trees with scikit-learn on grix's distance matrices.

The functions of a few standard-library modules become syntax trees; grix
computes every distance once, and scikit-learn's estimators take the square
matrix with ``metric="precomputed"``. Run: ``python examples/clustering.py``
(needs scikit-learn).
"""

from __future__ import annotations

import ast
import inspect
import json.decoder
import json.encoder
import shlex
import textwrap

import numpy as np
from scipy.spatial.distance import squareform
from sklearn.cluster import DBSCAN, HDBSCAN, AgglomerativeClustering
from sklearn.neighbors import NearestNeighbors

import grix


def functions(*modules: object) -> tuple[list[str], list[grix.Tree]]:
    names, trees = [], []
    for module in modules:
        for node in ast.walk(ast.parse(textwrap.dedent(inspect.getsource(module)))):  # type: ignore[arg-type]
            if isinstance(node, ast.FunctionDef):
                names.append(f"{module.__name__}.{node.name}")  # type: ignore[attr-defined]
                trees.append(grix.Tree.from_ast(node))
    return names, trees


names, trees = functions(json.decoder, json.encoder, shlex, textwrap)
# The square matrix: squareform of the condensed vector, as scipy makes it.
# float32 halves its memory and is what scikit-learn computes in anyway.
square = squareform(grix.pdist(trees, workers=-1, dtype=np.float32))
# A distance relative to size, so that small and large functions compare.
relative = squareform(grix.pdist(trees, normalize="max", dtype=np.float32))

# Density-based: functions with at least one other within 30 % of their size.
dbscan = DBSCAN(eps=0.3, min_samples=2, metric="precomputed").fit(relative)
# HDBSCAN chooses the density itself.
hdbscan = HDBSCAN(min_cluster_size=2, metric="precomputed", copy=True).fit(relative.astype(np.float64))
# Hierarchical, average linkage: "precomputed" takes any dissimilarity.
agglomerative = AgglomerativeClustering(n_clusters=5, metric="precomputed", linkage="average").fit(square)
# The 3 nearest functions of each (the first is itself, at distance 0).
neighbours = NearestNeighbors(n_neighbors=3, metric="precomputed").fit(square)
distances, indices = neighbours.kneighbors(square)

print(f"{len(trees)} functions")
for title, labels in (("DBSCAN", dbscan.labels_), ("HDBSCAN", hdbscan.labels_),
                      ("agglomerative", agglomerative.labels_)):
    clusters = {label: [names[i] for i in np.flatnonzero(labels == label)] for label in set(labels) if label >= 0}
    sizes = sorted(map(len, clusters.values()), reverse=True)
    print(f"{title}: {len(clusters)} clusters of {sizes} functions; e.g. {min(clusters.values(), key=len)}")
first = names.index("shlex.quote")
print(f"nearest to {names[first]}: " + ", ".join(
    f"{names[j]} ({int(d)})" for j, d in zip(indices[first][1:], distances[first][1:])))
