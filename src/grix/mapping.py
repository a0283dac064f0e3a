"""Which node became which: an optimal edit mapping, and an edit script that
turns one tree into the other."""

from __future__ import annotations

import bisect
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from functools import cached_property
from typing import Literal

from . import _core
from .costs import EngineCosts, NodeCost, Rename, pair_costs
from .distance import PairCall, check_tree
from .tree import Tree


@dataclass(frozen=True)
class Edit:
    """One operation of an edit script, as it applies at its turn.

    Ids name nodes of three trees, and each field says which:

    - `node` and `parent` are ids in the tree being edited. Its nodes start
      as t1's and keep their ids; an inserted node gets the id given in
      `node` (from len(t1) upwards, in order of insertion). `parent` is None
      for the top level, where a script may pass through a forest (after
      deleting the root, say).
    - `node1` is the node's id in t1 (deletes and renames; None for inserts).
    - `node2` is the node's id in t2 (renames and inserts; None for deletes).

    op "delete": node `node`, labelled `label`, child number `position` of
        `parent`, goes; its children take its place, in order.
    op "rename": node `node`, child number `position` of `parent`, gets
        `label` (it had `old_label`).
    op "insert": a new node `node` labelled `label` becomes child number
        `position` of `parent`, and adopts the `adopt` children of `parent`
        that followed from that position on (0: it becomes a leaf).

    `cost` is what the operation costs under the costs the mapping was
    computed with; the costs of a script add up to the mapping's distance.
    """

    op: Literal["delete", "rename", "insert"]
    node: int
    label: str
    parent: int | None
    position: int
    adopt: int = 0
    old_label: str | None = None
    node1: int | None = None
    node2: int | None = None
    cost: int | float = 1


class _Forest:
    """A mutable ordered forest: child lists by parent (None: top level)."""

    def __init__(self, tree: Tree) -> None:
        self.label: dict[int, str] = dict(enumerate(tree.labels))
        self.parent: dict[int, int | None] = {}
        self.children: dict[int | None, list[int]] = {None: []}
        for node, parent in enumerate(tree.parents.tolist()):
            up = None if parent < 0 else parent
            self.parent[node] = up
            self.children[node] = []
            self.children[up].append(node)
        self.source = dict(enumerate(tree.source))

    def delete(self, node: int) -> tuple[int | None, int]:
        up = self.parent.pop(node)
        siblings = self.children[up]
        position = siblings.index(node)
        orphans = self.children.pop(node)
        siblings[position:position + 1] = orphans
        for child in orphans:
            self.parent[child] = up
        del self.label[node]
        return up, position

    def insert(self, node: int, label: str, parent: int | None, position: int, adopt: int) -> None:
        siblings = self.children[parent]
        adopted = siblings[position:position + adopt]
        siblings[position:position + adopt] = [node]
        self.children[node] = adopted
        for child in adopted:
            self.parent[child] = node
        self.parent[node] = parent
        self.label[node] = label

    def position(self, node: int) -> int:
        return self.children[self.parent[node]].index(node)

    def to_tree(self) -> Tree:
        roots = self.children[None]
        if not roots:
            return Tree._from_preorder([], [], [])
        if len(roots) != 1:
            raise ValueError(f"the edited forest has {len(roots)} roots, not one tree")
        labels: list[str] = []
        parents: list[int] = []
        source: list[object] = []
        stack: list[tuple[int, int]] = [(roots[0], -1)]
        while stack:
            node, parent = stack.pop()
            labels.append(self.label[node])
            parents.append(parent)
            source.append(self.source.get(node))
            here = len(labels) - 1
            stack.extend((child, here) for child in reversed(self.children[node]))
        return Tree._from_preorder(labels, parents, source)


class Mapping:
    """An optimal edit mapping between two trees.

    `pairs` lists the matched nodes (i of t1, j of t2), ascending; it is
    one-to-one and keeps ancestor and sibling order. Nodes of t1 outside it
    are `deleted`, nodes of t2 outside it `inserted`; `renamed` are the pairs
    whose labels differ. The cost of the mapping (one per deleted or inserted
    node, plus the rename cost of every pair) is `distance`. The user's own
    objects are at ``t1.source[i]`` and ``t2.source[j]``; `matched_sources`,
    `deleted_sources` and `inserted_sources` collect them.
    """

    def __init__(self, t1: Tree, t2: Tree, distance: int | float, pairs: Iterable[tuple[int, int]],
                 deleted: Iterable[int], inserted: Iterable[int], *, costs: EngineCosts | None = None) -> None:
        self.t1 = t1
        self.t2 = t2
        self.distance = distance
        self.costs = costs if costs is not None else pair_costs(t1, t2, None, None, None)[0]
        self.pairs: list[tuple[int, int]] = [(int(i), int(j)) for i, j in pairs]
        self.deleted: list[int] = [int(i) for i in deleted]
        self.inserted: list[int] = [int(j) for j in inserted]

    def __repr__(self) -> str:
        return (f"<Mapping distance={self.distance}: {len(self.pairs)} matched "
                f"({len(self.renamed)} renamed), {len(self.deleted)} deleted, "
                f"{len(self.inserted)} inserted>")

    def delete_cost(self, i: int) -> int | float:
        """What deleting node i of t1 costs."""
        return self.costs.delete_cost(i)

    def insert_cost(self, j: int) -> int | float:
        """What inserting node j of t2 costs."""
        return self.costs.insert_cost(j)

    def rename_cost(self, i: int, j: int) -> int | float:
        """What matching node i of t1 with node j of t2 costs (0 for equal
        labels with the default costs)."""
        return self.costs.rename_cost(i, j)

    @cached_property
    def renamed(self) -> list[tuple[int, int]]:
        """The matched pairs whose labels differ, or whose rename costs
        something all the same (with costs of your own)."""
        labels1, labels2 = self.t1.labels, self.t2.labels
        if self.costs.rename_by_node is None and self.costs.rename_by_label is None:
            return [(i, j) for i, j in self.pairs if labels1[i] != labels2[j]]
        return [(i, j) for i, j in self.pairs if labels1[i] != labels2[j] or self.rename_cost(i, j) != 0]

    @property
    def matched_sources(self) -> list[tuple[object, object]]:
        return [(self.t1.source[i], self.t2.source[j]) for i, j in self.pairs]

    @property
    def deleted_sources(self) -> list[object]:
        return [self.t1.source[i] for i in self.deleted]

    @property
    def inserted_sources(self) -> list[object]:
        return [self.t2.source[j] for j in self.inserted]

    def edit_script(self) -> list[Edit]:
        """Operations that, applied to t1 in order (see :func:`apply`), give
        t2: the deletions (children before parents), then the renames, then
        the insertions in t2's pre-order."""
        t1, t2 = self.t1, self.t2
        forest = _Forest(t1)
        script: list[Edit] = []
        for node in reversed(self.deleted):
            label = forest.label[node]
            parent, position = forest.delete(node)
            script.append(Edit("delete", node, label, parent, position, node1=node,
                               cost=self.delete_cost(node)))
        for i, j in self.renamed:
            script.append(Edit("rename", i, t2.labels[j], forest.parent[i], forest.position(i),
                               old_label=t1.labels[i], node1=i, node2=j, cost=self.rename_cost(i, j)))
        # After the deletions the forest is t2 restricted to its matched
        # nodes. Inserting t2's other nodes in pre-order keeps it t2
        # restricted to the nodes present, so every child list stays sorted by
        # t2 id: a new node goes before its first later sibling and adopts
        # the children that are its descendants in t2.
        image = {j: i for i, j in self.pairs}
        t2_id = {i: j for i, j in self.pairs}
        parents2 = t2.parents.tolist()
        ends2 = (t2.subtree_sizes + range(len(t2))).tolist() if len(t2) else []
        next_id = len(t1)
        for j in self.inserted:
            parent = image[parents2[j]] if parents2[j] >= 0 else None
            ids = [t2_id[child] for child in forest.children[parent]]
            position = bisect.bisect_left(ids, j)
            adopt = bisect.bisect_left(ids, ends2[j]) - position
            forest.insert(next_id, t2.labels[j], parent, position, adopt)
            script.append(Edit("insert", next_id, t2.labels[j], parent, position, adopt, node2=j,
                               cost=self.insert_cost(j)))
            image[j] = next_id
            t2_id[next_id] = j
            next_id += 1
        return script


def apply(tree: Tree, script: Sequence[Edit]) -> Tree:
    """The tree that `script` (from :meth:`Mapping.edit_script`) makes of
    `tree`. Raises ValueError naming the first operation that does not fit:
    a node that is not where the operation says, an id already in use, or a
    result that is not one tree."""
    forest = _Forest(check_tree(tree, "tree"))
    for number, edit in enumerate(script):
        def refuse(reason: str) -> ValueError:
            return ValueError(f"edit {number} ({edit.op} node {edit.node}): {reason}")

        siblings = forest.children.get(edit.parent)
        if siblings is None:
            raise refuse(f"parent {edit.parent} is not in the tree")
        if edit.op == "insert":
            if edit.node in forest.label:
                raise refuse("that id is already in use")
            if not (0 <= edit.position and edit.adopt >= 0
                    and edit.position + edit.adopt <= len(siblings)):
                raise refuse(f"position {edit.position} adopting {edit.adopt} does not fit "
                             f"{len(siblings)} children")
            forest.insert(edit.node, edit.label, edit.parent, edit.position, edit.adopt)
            continue
        if not (0 <= edit.position < len(siblings) and siblings[edit.position] == edit.node):
            raise refuse(f"it is not child {edit.position} of {edit.parent}")
        if edit.op == "delete":
            forest.delete(edit.node)
        elif edit.op == "rename":
            forest.label[edit.node] = edit.label
        else:
            raise refuse(f"unknown operation {edit.op!r}")
    return forest.to_tree()


def mapping(t1: Tree, t2: Tree, *, rename: Rename = None, delete: NodeCost = None,
            insert: NodeCost = None, workers: int | None = 1, timeout: float | None = None,
            progress: bool | None = None) -> Mapping:
    """An optimal edit mapping between `t1` and `t2` (see :class:`Mapping`),
    with the arguments and errors of :func:`grix.distance`.

    The subtree distances are filled as for the distance, in the cheaper
    orientation, then one optimal choice is followed back from the two roots:
    at most about the time of the distance, and the same memory. Where
    renaming costs as much as deleting and inserting, the mapping deletes and
    inserts.
    """
    call = PairCall(t1, t2, rename, delete, insert, workers, timeout, progress)
    with call.bar() as report:
        distance, pairs, deleted, inserted = _core.mapping(*call.trees, **call.arguments(report))
    return Mapping(t1, t2, call.costs.result(distance), pairs.tolist(), deleted.tolist(), inserted.tolist(),
                   costs=call.costs)
