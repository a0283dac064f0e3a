"""Seeded tree pairs for the benchmark: generated shapes, Python syntax trees
and XML/HTML documents, each turned into (labels, parents) in pre-order."""

import ast
import glob
import html.parser
import os
import random
import sys
import xml.etree.ElementTree as ET

import grix  # noqa: E402


def ast_to_tree(node):
    """(labels, parents) of a syntax tree, labelled as grix labels it."""
    tree = grix.Tree.from_ast(node, context=True)  # the trees the published figures used
    return list(tree.labels), tree.parents.tolist()

ALPHABET = [chr(ord("a") + i) for i in range(16)]


def preorder(children, labels, root=0):
    """(labels, parents) of the tree below `root`, numbered in pre-order."""
    out_labels, out_parents = [], []
    stack = [(root, -1)]
    while stack:
        node, parent = stack.pop()
        index = len(out_labels)
        out_labels.append(labels[node])
        out_parents.append(parent)
        for child in reversed(children[node]):
            stack.append((child, index))
    return out_labels, out_parents


def from_parent_choice(n, rng, choose_parent):
    children = [[] for _ in range(n)]
    for i in range(1, n):
        children[choose_parent(i, children)].append(i)
    labels = [rng.choice(ALPHABET) for _ in range(n)]
    return preorder(children, labels)


def random_recursive(n, rng):
    return from_parent_choice(n, rng, lambda i, children: rng.randrange(i))


def fanout4(n, rng):
    open_nodes = [0]

    def choose(i, children):
        k = rng.randrange(len(open_nodes))
        parent = open_nodes[k]
        if len(children[parent]) == 3:  # this child is the fourth
            open_nodes[k] = open_nodes[-1]
            open_nodes.pop()
        open_nodes.append(i)
        return parent

    return from_parent_choice(n, rng, choose)


def full_binary(n, rng):
    return from_parent_choice(n, rng, lambda i, children: (i - 1) // 2)


def caterpillar(n, rng, spine_first):
    """A spine in which every node also has one leaf; the spine continues
    through the first or through the last child."""
    children = [[] for _ in range(n)]
    spine, i = 0, 1
    while i < n:
        nxt = [i] if i < n else []
        leaf = [i + 1] if i + 1 < n else []
        children[spine] = nxt + leaf if spine_first else leaf + nxt
        spine, i = i, i + 2
    labels = [rng.choice(ALPHABET) for _ in range(n)]
    return preorder(children, labels)


def side_turning_spine(n, rng):
    """A spine whose every node carries one leaf, placed alternately after and
    before the spine child: bad for both leftmost and rightmost paths."""
    children = [[] for _ in range(n)]
    spine, i, after = 0, 1, True
    while i < n:
        nxt = [i]
        leaf = [i + 1] if i + 1 < n else []
        children[spine] = nxt + leaf if after else leaf + nxt
        spine, i, after = i, i + 2, not after
    labels = [rng.choice(ALPHABET) for _ in range(n)]
    return preorder(children, labels)


def opposed_caterpillars(n, rng):
    """A root over two caterpillars of about n/2 nodes each, the first with
    its spine through first children, the second through last children;
    a third of each is spine, the rest leaves spread at random along it."""
    children, labels = [[]], [rng.choice(ALPHABET)]

    def add(parent):
        children.append([])
        labels.append(rng.choice(ALPHABET))
        node = len(labels) - 1
        if parent is not None:
            children[parent].append(node)
        return node

    for spine_first in (True, False):
        size = (n - 1) // 2
        spine_length = max(1, size // 3)
        spine = [add(0 if k == 0 else None) for k in range(spine_length)]
        for k in range(1, spine_length):
            children[spine[k - 1]].append(spine[k])
        for _ in range(size - spine_length):
            host = spine[rng.randrange(spine_length)]
            leaf = add(None)
            # The spine child stays first (or last) among its siblings.
            if spine_first:
                children[host].append(leaf)
            else:
                children[host].insert(0, leaf)
    return preorder(children, labels)


#: Shapes on which one side of decomposition is bad in some subtree and the
#: other side in another: fixed orientations cost about n^4 here. They are
#: kept out of GENERATED, whose shapes the GRIX_CPU benchmark runs at up to
#: 8,000 nodes.
ADVERSARIAL = {
    "side-turning-spine": side_turning_spine,
    "opposed-caterpillars": opposed_caterpillars,
}


def star(n, rng):
    return from_parent_choice(n, rng, lambda i, children: 0)


def path(n, rng):
    return from_parent_choice(n, rng, lambda i, children: i - 1)


def python_ast_trees():
    """Syntax trees of standard-library modules, keyed by node count."""
    trees = []
    libdir = os.path.dirname(os.__file__)
    for file in sorted(glob.glob(os.path.join(libdir, "*.py"))):
        try:
            with open(file, encoding="utf-8") as handle:
                tree = ast.parse(handle.read())
        except (SyntaxError, UnicodeDecodeError, ValueError):
            continue
        trees.append((os.path.basename(file), ast_to_tree(tree)))
    return trees


class _HtmlTree(html.parser.HTMLParser):
    VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "track", "wbr"}

    def __init__(self):
        super().__init__()
        self.labels, self.parents, self.open = ["#document"], [-1], [0]

    def _add(self, label):
        self.labels.append(label)
        self.parents.append(self.open[-1])
        return len(self.labels) - 1

    def handle_starttag(self, tag, attrs):
        index = self._add(tag)
        if tag not in self.VOID:
            self.open.append(index)

    def handle_endtag(self, tag):
        for depth in range(len(self.open) - 1, 0, -1):
            if self.labels[self.open[depth]] == tag:
                del self.open[depth:]
                return

    def handle_data(self, data):
        if data.strip():
            self._add("#text:" + data.strip()[:20])


def markup_trees():
    """XML and HTML documents found on this machine, keyed by node count."""
    trees = []
    patterns = ["/usr/share/**/*.xml", "/usr/share/**/*.html", "/usr/share/**/*.htm"]
    files = sorted({f for p in patterns for f in glob.glob(p, recursive=True)})
    for file in files[:4000]:
        try:
            if os.path.getsize(file) > 2_000_000:
                continue
            if file.endswith(".xml"):
                root = ET.parse(file).getroot()
                labels, parents = [], []
                stack = [(root, -1)]
                while stack:
                    element, parent = stack.pop()
                    labels.append(str(element.tag).split("}")[-1])
                    parents.append(parent)
                    index = len(labels) - 1
                    for child in reversed(list(element)):
                        stack.append((child, index))
                trees.append((os.path.basename(file), (labels, parents)))
            else:
                parser = _HtmlTree()
                with open(file, encoding="utf-8", errors="replace") as handle:
                    parser.feed(handle.read())
                labels = parser.labels
                children = [[] for _ in labels]
                for i, p in enumerate(parser.parents):
                    if p >= 0:
                        children[p].append(i)
                trees.append((os.path.basename(file), preorder(children, labels)))
        except Exception:  # unreadable or malformed documents are simply skipped
            continue
    return trees


def closest(trees, n):
    """The tree whose node count is closest to n (and within a factor 1.5)."""
    best = min(trees, key=lambda item: abs(len(item[1][0]) - n), default=None)
    if best is None or not n / 1.5 <= len(best[1][0]) <= n * 1.5:
        return None
    return best


def edit(tree, count, rng):
    """`count` random renames, deletions and insertions."""
    labels, parents = list(tree[0]), list(tree[1])
    children = [[] for _ in labels]
    for i, p in enumerate(parents):
        if p >= 0:
            children[p].append(i)
    alive = set(range(len(labels)))
    parent_of = dict(enumerate(parents))
    for _ in range(count):
        kind = rng.choice(("rename", "delete", "insert"))
        node = rng.choice(sorted(alive))
        if kind == "rename":
            labels[node] = rng.choice(ALPHABET) + "'"
        elif kind == "delete" and node != 0:
            parent = parent_of[node]
            siblings = children[parent]
            at = siblings.index(node)
            siblings[at:at + 1] = children[node]
            for child in children[node]:
                parent_of[child] = parent
            alive.discard(node)
        else:  # insert a new node above a run of node's children
            new = len(labels)
            labels.append(rng.choice(ALPHABET) + "+")
            kids = children[node]
            lo = rng.randrange(len(kids) + 1)
            hi = rng.randrange(lo, len(kids) + 1)
            children.append(kids[lo:hi])
            for child in kids[lo:hi]:
                parent_of[child] = new
            kids[lo:hi] = [new]
            parent_of[new] = node
            alive.add(new)
    return preorder(children, labels)


GENERATED = {
    "random": random_recursive,
    "fanout4": fanout4,
    "binary": full_binary,
    "caterpillar-first": lambda n, rng: caterpillar(n, rng, True),
    "caterpillar-last": lambda n, rng: caterpillar(n, rng, False),
    "star": star,
    "path": path,
}


def tree_pair(shape, n, seed, corpus=None):
    """(name, tree, edited tree) or None when no tree of that size exists."""
    rng = random.Random(f"{shape}/{n}/{seed}")
    if shape in GENERATED:
        tree, name = GENERATED[shape](n, rng), f"{shape}-{n}"
    else:
        found = closest(corpus, n)
        if found is None:
            return None
        name, tree = found
    return name, tree, edit(tree, max(1, len(tree[0]) // 50), rng)


if __name__ == "__main__":
    rng = random.Random(0)
    for shape in GENERATED:
        t = GENERATED[shape](20, rng)
        print(shape, t[1])
    print(len(python_ast_trees()), "syntax trees;", len(markup_trees()), "markup trees", file=sys.stderr)
