"""Edit mappings and edit scripts: which node became which, the edits that
turn one tree into the other, and :func:`apply`, which carries a script out.
The operations that compute a mapping (:func:`grix.mapping`,
:func:`grix.json_mapping`) sit above this module and return its types."""

from __future__ import annotations

import numbers
import random
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from functools import cached_property
from typing import Generic, Literal, TypeVar

from .costs import EngineCosts, pair_costs
from .distance import check_tree
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


NIL = 0  # the empty treap; slot 0 is never a node
TOP = 1  # the slot whose children are the top level (parent None)


class _Forest:
    """A mutable ordered forest whose child lists are implicit treaps.

    Each child list is a treap ordered by position, whose nodes are the
    children themselves (with random priorities). Finding the child at a
    position, cutting a list at a position and joining two lists take
    O(log k) expected time for k children, and so does every operation of an
    edit script: a delete joins the deleted node's children into its
    parent's list in its place, an insert cuts the adopted run out of it.
    Moving a run of children touches only the nodes on the cut.

    Nodes live in slots: slot 0 is NIL, slot 1 the top level, and the ids
    of the tree being edited map to slots 2 onwards.
    """

    def __init__(self, tree: Tree) -> None:
        n = len(tree)
        self.slot_of: dict[int, int] = {node: node + 2 for node in range(n)}
        self.label: list[str] = ["", "", *tree.labels]
        self.source: list[object] = [None, None, *tree.source]
        self.left = [NIL] * (n + 2)
        self.right = [NIL] * (n + 2)
        self.size = [0] + [1] * (n + 1)
        # Seeded: the priorities shape the treaps, never the result.
        self.random = random.Random(0).random
        self.priority = [self.random() for _ in range(n + 2)]
        self.kids = [NIL] * (n + 2)
        children: list[list[int]] = [[] for _ in range(n + 2)]
        for node, parent in enumerate(tree.parents.tolist()):
            children[TOP if parent < 0 else parent + 2].append(node + 2)
        for slot, listed in enumerate(children):
            if listed:
                self.kids[slot] = self.build(listed)

    def build(self, items: list[int]) -> int:
        """The treap of `items` in order, in linear time (a Cartesian tree
        built on a stack of the right spine)."""
        left, right, size, priority = self.left, self.right, self.size, self.priority
        spine: list[int] = []
        last = NIL
        for item in items:
            last = NIL
            while spine and priority[spine[-1]] < priority[item]:
                last = spine.pop()
                size[last] = 1 + size[left[last]] + size[right[last]]
            left[item] = last
            if spine:
                right[spine[-1]] = item
            spine.append(item)
        while spine:
            last = spine.pop()
            size[last] = 1 + size[left[last]] + size[right[last]]
        return last

    def split(self, root: int, count: int) -> tuple[int, int]:
        """The treap cut into its first `count` children and the rest.

        Walks down from the root: a node goes to the first part with its
        left subtree (hung on the first part's right spine, keeping `count`
        of its subtree) or to the rest with its right subtree (hung on the
        rest's left spine, losing `count`)."""
        left, right, size = self.left, self.right, self.size
        if count >= size[root]:
            return root, NIL
        first = rest = first_tail = rest_head = NIL
        node = root
        while node != NIL:
            if count <= size[left[node]]:
                size[node] -= count
                if rest_head == NIL:
                    rest = node
                else:
                    left[rest_head] = node
                rest_head = node
                node = left[node]
            else:
                size[node] = count
                count -= size[left[node]] + 1
                if first_tail == NIL:
                    first = node
                else:
                    right[first_tail] = node
                first_tail = node
                node = right[node]
        left[rest_head] = NIL
        right[first_tail] = NIL
        return first, rest

    def merge(self, first: int, second: int) -> int:
        """One treap of the children of `first`, then those of `second`:
        down the right spine of `first` and the left spine of `second`,
        taking the node of higher priority at each step (it gains all that
        is left of the other side)."""
        left, right, size, priority = self.left, self.right, self.size, self.priority
        root = hook = NIL
        hook_right = False
        while first != NIL and second != NIL:
            if priority[first] > priority[second]:
                chosen, first = first, right[first]
                size[chosen] += size[second]
                on_right = True
            else:
                chosen, second = second, left[second]
                size[chosen] += size[first]
                on_right = False
            if hook == NIL:
                root = chosen
            elif hook_right:
                right[hook] = chosen
            else:
                left[hook] = chosen
            hook, hook_right = chosen, on_right
        remainder = first or second
        if hook == NIL:
            return remainder
        if hook_right:
            right[hook] = remainder
        else:
            left[hook] = remainder
        return root

    def child(self, slot: int, position: int) -> int:
        """The slot of child number `position` of `slot`, or NIL."""
        left, size = self.left, self.size
        node = self.kids[slot]
        if not 0 <= position < size[node]:
            return NIL
        while position != size[left[node]]:
            if position < size[left[node]]:
                node = left[node]
            else:
                position -= size[left[node]] + 1
                node = self.right[node]
        return node

    def child_count(self, slot: int) -> int:
        return self.size[self.kids[slot]]

    def delete(self, slot: int, parent: int, position: int) -> None:
        before, rest = self.split(self.kids[parent], position)
        _, after = self.split(rest, 1)
        self.kids[parent] = self.merge(self.merge(before, self.kids[slot]), after)

    def insert(self, node: int, label: str, parent: int, position: int, adopt: int) -> None:
        slot = len(self.label)
        self.slot_of[node] = slot
        self.label.append(label)
        self.source.append(None)
        self.left.append(NIL)
        self.right.append(NIL)
        self.size.append(1)
        self.priority.append(self.random())
        self.kids.append(NIL)
        before, after = self.split(self.kids[parent], position)
        if adopt:
            adopted, after = self.split(after, adopt)
            self.kids[slot] = adopted
        self.kids[parent] = self.merge(self.merge(before, slot), after)

    def in_order(self, root: int) -> list[int]:
        order: list[int] = []
        pending: list[int] = []
        node = root
        while pending or node != NIL:
            while node != NIL:
                pending.append(node)
                node = self.left[node]
            node = pending.pop()
            order.append(node)
            node = self.right[node]
        return order

    def to_tree(self) -> Tree:
        roots = self.in_order(self.kids[TOP])
        if not roots:
            return Tree._from_preorder([], [], [])
        if len(roots) != 1:
            raise ValueError(f"the edited forest has {len(roots)} roots, not one tree")
        labels: list[str] = []
        parents: list[int] = []
        source: list[object] = []
        stack: list[tuple[int, int]] = [(roots[0], -1)]
        while stack:
            slot, parent = stack.pop()
            labels.append(self.label[slot])
            parents.append(parent)
            source.append(self.source[slot])
            here = len(labels) - 1
            stack.extend((child, here) for child in reversed(self.in_order(self.kids[slot])))
        return Tree._from_preorder(labels, parents, source)


#: The number type of a mapping's distance: int for integer costs.
D = TypeVar("D", int, float)


class Mapping(Generic[D]):
    """An optimal edit mapping between two trees.

    `pairs` lists the matched nodes (i of t1, j of t2), ascending; it is
    one-to-one and keeps ancestor and sibling order. Nodes of t1 outside it
    are `deleted`, nodes of t2 outside it `inserted`; `renamed` are the pairs
    whose labels differ. The cost of the mapping (one per deleted or inserted
    node, plus the rename cost of every pair) is `distance`. The user's own
    objects are at ``t1.source[i]`` and ``t2.source[j]``; `matched_sources`,
    `deleted_sources` and `inserted_sources` collect them.
    """

    def __init__(self, t1: Tree, t2: Tree, distance: D, pairs: Iterable[tuple[int, int]],
                 deleted: Iterable[int], inserted: Iterable[int], *, costs: EngineCosts | None = None) -> None:
        self.t1 = t1
        self.t2 = t2
        self.distance: D = distance
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
        the insertions in t2's pre-order. Linear time: every position follows
        from the two trees, with no list edited along the way."""
        t1, t2 = self.t1, self.t2
        parents1, parents2 = t1.parents.tolist(), t2.parents.tolist()
        script: list[Edit] = []
        # In reverse pre-order, a node goes after its descendants and every
        # later node, while its ancestors and earlier siblings (with their
        # subtrees) are all still there: it is where t1 has it.
        positions1 = child_positions(parents1, [True] * len(t1))
        for node in sorted(self.deleted, reverse=True):
            parent = parents1[node]
            script.append(Edit("delete", node, t1.labels[node], None if parent < 0 else parent,
                               positions1[node], node1=node, cost=self.delete_cost(node)))
        # After the deletions every node of t1 left hangs from its nearest
        # kept ancestor, in pre-order among its kept siblings.
        kept1 = [True] * len(t1)
        for node in self.deleted:
            kept1[node] = False
        up1 = kept_ancestors(parents1, kept1)
        kept_positions = child_positions(up1, kept1)
        for i, j in self.renamed:
            script.append(Edit("rename", i, t2.labels[j], None if up1[i] < 0 else up1[i],
                               kept_positions[i], old_label=t1.labels[i], node1=i, node2=j,
                               cost=self.rename_cost(i, j)))
        # The forest is now t2 restricted to its matched nodes. Inserting the
        # others in pre-order keeps it t2 restricted to the nodes present:
        # when node j comes, every node before it is there, so its earlier
        # siblings are, and it goes where t2 has it. It adopts the matched
        # nodes of its subtree with no matched node between them and it.
        matched2 = [False] * len(t2)
        image = {}
        for i, j in self.pairs:
            matched2[j] = True
            image[j] = i
        positions2 = child_positions(parents2, [True] * len(t2))
        adopted = adopt_counts(parents2, matched2)
        next_id = len(t1)
        for j in sorted(self.inserted):
            parent = image[parents2[j]] if parents2[j] >= 0 else None
            script.append(Edit("insert", next_id, t2.labels[j], parent, positions2[j], adopted[j], node2=j,
                               cost=self.insert_cost(j)))
            image[j] = next_id
            next_id += 1
        return script


def child_positions(parents: list[int], present: list[bool]) -> list[int]:
    """Each present node's position among the present children of its parent
    (-1: the top level), counted in pre-order."""
    seen: dict[int, int] = {}
    positions = [0] * len(parents)
    for node, parent in enumerate(parents):
        if present[node]:
            positions[node] = seen.get(parent, 0)
            seen[parent] = positions[node] + 1
    return positions


def kept_ancestors(parents: list[int], kept: list[bool]) -> list[int]:
    """Each node's nearest proper ancestor that is kept, or -1."""
    up = [-1] * len(parents)
    for node, parent in enumerate(parents):
        if parent >= 0:
            up[node] = parent if kept[parent] else up[parent]
    return up


def adopt_counts(parents: list[int], matched: list[bool]) -> list[int]:
    """For every node j, the matched nodes k in j's subtree whose nearest
    matched proper ancestor lies outside it: a subtree sum of +1 at each
    matched node and -1 at its nearest matched ancestor, whose pairs cancel
    inside the subtree."""
    weight = [int(m) for m in matched]
    for node, up in enumerate(kept_ancestors(parents, matched)):
        if matched[node] and up >= 0:
            weight[up] -= 1
    for node in range(len(parents) - 1, 0, -1):
        weight[parents[node]] += weight[node]
    return weight


OPERATIONS = ("delete", "rename", "insert")


def check_edit(number: int, edit: object) -> Edit:
    """`edit` as an Edit whose fields have their types and signs; raises
    TypeError or ValueError naming the edit's number."""
    if not isinstance(edit, Edit):
        raise TypeError(f"edit {number} must be a grix.Edit, not {type(edit).__name__}")

    def refuse(reason: str) -> ValueError:
        return ValueError(f"edit {number} ({edit.op} node {edit.node}): {reason}")

    if edit.op not in OPERATIONS:
        raise ValueError(f"edit {number}: unknown operation {edit.op!r} (not 'delete', 'rename' or 'insert')")
    fields: tuple[tuple[str, object, bool], ...] = (
        ("node", edit.node, False), ("parent", edit.parent, True), ("position", edit.position, False),
        ("adopt", edit.adopt, False), ("node1", edit.node1, True), ("node2", edit.node2, True))
    for name, value, optional in fields:
        if value is None and optional:
            continue
        if type(value) is not int and (isinstance(value, bool) or not isinstance(value, numbers.Integral)):
            kind = "an int or None" if optional else "an int"
            raise TypeError(f"edit {number}: {name} must be {kind}, not {type(value).__name__}")
        if value < 0:
            raise refuse(f"{name} must not be negative, not {value}")
    if not isinstance(edit.label, str):
        raise TypeError(f"edit {number}: label must be a str, not {type(edit.label).__name__}")
    if edit.old_label is not None and not isinstance(edit.old_label, str):
        raise TypeError(f"edit {number}: old_label must be a str or None, not {type(edit.old_label).__name__}")
    if edit.adopt and edit.op != "insert":
        raise refuse(f"only an insert adopts children, not a {edit.op}")
    return edit


def apply(tree: Tree, script: Sequence[Edit]) -> Tree:
    """The tree that `script` (from :meth:`Mapping.edit_script`) makes of
    `tree`.

    Every edit is checked before it applies: TypeError for a field of the
    wrong type, ValueError for an unknown operation, a negative id, position
    or count, a node that is not where the edit says (child `position` of
    `parent`, with the `label`, or `old_label`, it has), an id already in
    use, an insert adopting more children than follow its position, or a
    result that is not one tree. Each message names the edit's number.

    Time O(m log k) expected for m edits on child lists of up to k children,
    plus the size of the tree.
    """
    forest = _Forest(check_tree(tree, "tree"))
    for number, edit in enumerate(script):
        check_edit(number, edit)

        def refuse(reason: str) -> ValueError:
            return ValueError(f"edit {number} ({edit.op} node {edit.node}): {reason}")

        parent = TOP if edit.parent is None else forest.slot_of.get(edit.parent)
        if parent is None:
            raise refuse(f"parent {edit.parent} is not in the tree")
        count = forest.child_count(parent)
        if edit.op == "insert":
            if edit.node in forest.slot_of:
                raise refuse("that id is already in use")
            if edit.position + edit.adopt > count:
                raise refuse(f"position {edit.position} adopting {edit.adopt} does not fit "
                             f"{count} children")
            forest.insert(edit.node, edit.label, parent, edit.position, edit.adopt)
            continue
        slot = forest.slot_of.get(edit.node)
        if slot is None or forest.child(parent, edit.position) != slot:
            raise refuse(f"it is not child {edit.position} of {edit.parent}")
        current = forest.label[slot]
        if edit.op == "delete":
            if edit.label != current:
                raise refuse(f"it is labelled {current!r}, not {edit.label!r}")
            forest.delete(slot, parent, edit.position)
            del forest.slot_of[edit.node]
        else:
            if edit.old_label is not None and edit.old_label != current:
                raise refuse(f"it is labelled {current!r}, not {edit.old_label!r}")
            forest.label[slot] = edit.label
    return forest.to_tree()
