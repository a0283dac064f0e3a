"""Cluster the suboptimal secondary structures of a real tRNA.

Yeast tRNA-Phe (the first tRNA whose 3-D structure was solved) folds into
its cloverleaf as the minimum free energy structure; ViennaRNA's subopt lists
every structure within 4 kcal/mol of it, some 800 of them. grix computes the
tree edit distances of all pairs of them (ViennaRNA's full trees and usual
costs, so each distance is what RNA.tree_edit_distance gives) on all cores,
reading them from a dot-bracket file as RNAsubopt writes one, and scipy
clusters them: the families of alternative folds, each with its best
structure.

    python examples/rna_clusters.py        (needs viennarna and scipy)
"""

from __future__ import annotations

import tempfile
from pathlib import Path

import numpy as np

import grix

# Yeast tRNA-Phe, 76 nucleotides (the CCA end included).
SEQUENCE = "GCGGAUUUAGCUCAGUUGGGAGAGCGCCAGACUGAAGAUCUGGAGGUCCUGUGUUCGAUCCACAGAAUUCGCACCA"
WITHIN = 400   # dcal/mol: 4 kcal/mol above the minimum free energy
CLUSTERS = 5


def main() -> None:
    import RNA
    from scipy.cluster.hierarchy import fcluster, linkage
    from scipy.spatial.distance import squareform

    fold = RNA.fold_compound(SEQUENCE)
    mfe, mfe_energy = fold.mfe()
    found = sorted(fold.subopt(WITHIN), key=lambda s: s.energy)
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "trna_phe_subopt.db"
        path.write_text(f">tRNA-Phe suboptimal structures within {WITHIN / 100:g} kcal/mol\n{SEQUENCE}\n"
                        + "".join(f"{s.structure} {s.energy:6.2f}\n" for s in found))
        records = grix.rna.load_structures(path)
        distances = grix.rna.pdist(path, representation="full", costs="usual", workers=-1)
    energies = np.array([s.energy for s in found])
    print(f"{len(records)} structures within {WITHIN / 100:g} kcal/mol of the minimum, "
          f"{len(distances):,} distances")
    print(f"minimum free energy {mfe_energy:.2f} kcal/mol:\n  {mfe}\n")

    clusters = fcluster(linkage(distances.astype(float), method="average"), CLUSTERS, criterion="maxclust")
    square = squareform(distances)
    mfe_index = next(k for k, r in enumerate(records) if r.structure == mfe)
    for cluster in sorted(set(clusters), key=lambda c: energies[clusters == c].min()):
        members = np.flatnonzero(clusters == cluster)
        best = members[np.argmin(energies[members])]
        spread = square[np.ix_(members, members)].mean()
        print(f"cluster {cluster}: {len(members)} structures, best {energies[best]:.2f} kcal/mol, "
              f"mean distance within {spread:.1f}, from the minimum {square[mfe_index, best]}")
        print(f"  {records[best].structure}")


if __name__ == "__main__":
    main()
