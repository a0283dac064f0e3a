// The trees are drawn from the embedded data as flat rows in pre-order, one
// per shown node: deep trees then need no deeply nested elements, and a
// subtree's rows are the run of rows after its root whose ids fall inside the
// subtree's id range. Rows exist only for shown nodes.
"use strict";
(function () {
  const data = JSON.parse(document.getElementById("grix-data").textContent);
  const FOLD = 3;  // longer runs of unchanged siblings start as one row
  const WIDTH = Number(document.body.dataset.labelWidth) || 80;  // longer labels are cut
  const clip = (text) => (text.length > WIDTH ? text.slice(0, WIDTH - 1) + "…" : text);

  function side(k) {
    const labels = data["labels" + k], parents = data["parents" + k], n = labels.length;
    const lines = data["lines" + k] || [];
    const s = { k, labels, parents, lines, n, kids: [], el: [], gapOf: [],
      partner: new Int32Array(n).fill(-1), status: new Array(n).fill("kept"),
      size: new Int32Array(n).fill(1), depth: new Int32Array(n), dirty: new Uint8Array(n),
      open: new Uint8Array(n), folded: new Uint8Array(n), root: document.getElementById("tree" + k) };
    for (let i = 0; i < n; i++) s.kids.push([]);
    for (let i = 1; i < n; i++) { s.kids[parents[i]].push(i); s.depth[i] = s.depth[parents[i]] + 1; }
    return s;
  }
  const T1 = side(1), T2 = side(2), sides = { 1: T1, 2: T2 };
  const other = (s) => (s === T1 ? T2 : T1);
  for (const [i, j] of data.pairs) { T1.partner[i] = j; T2.partner[j] = i; }
  for (const [i, j] of data.renamed) { T1.status[i] = "renamed"; T2.status[j] = "renamed"; }
  for (const i of data.deleted) T1.status[i] = "deleted";
  for (const j of data.inserted) T2.status[j] = "inserted";
  for (const s of [T1, T2]) {
    for (let i = s.n - 1; i >= 0; i--) {  // pre-order: children after parents
      if (s.status[i] !== "kept") s.dirty[i] = 1;
      const p = s.parents[i];
      if (p >= 0) { s.size[p] += s.size[i]; s.dirty[p] |= s.dirty[i]; }
    }
  }
  // Open at load: subtrees holding a change on either side.
  const changed = (s, i) => s.dirty[i] || (s.partner[i] >= 0 && other(s).dirty[s.partner[i]]);

  function span(cls, text) {
    const e = document.createElement("span");
    e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // The hover text: what happened to the node, its line, its whole label.
  function describe(s, i) {
    const p = s.partner[i], line = s.lines[i];
    const where = (s === T1 ? "before #" : "after #") + i + (line ? " (line " + line + ")" : "");
    const [i1, i2] = s === T1 ? [i, p] : [p, i];
    switch (s.status[i]) {
      case "deleted": return where + ": deleted\n" + s.labels[i];
      case "inserted": return where + ": inserted\n" + s.labels[i];
      case "renamed": return where + ": renamed\n" + T1.labels[i1] + "\n→ " + T2.labels[i2];
      default: return where + ": kept as " + (s === T1 ? "after #" : "before #") + p + "\n" + s.labels[i];
    }
  }

  function row(s, first, depth, parts) {
    const div = document.createElement("div"), box = span("box");
    div.className = "node";
    div.style.setProperty("--d", depth);
    div.first = first;
    box.append(span("tog"), ...parts);
    div.append(box);
    return div;
  }

  function nodeRow(s, i) {
    const parts = [span("label", clip(s.labels[i]))];
    if (s.status[i] === "renamed")
      parts.push(span("note", (s === T1 ? "→ " : "← ") + clip(other(s).labels[s.partner[i]])));
    if (s.lines[i]) parts.push(span("line", ":" + s.lines[i]));
    if (s.kids[i].length) {
      const hidden = s.size[i] - 1;
      parts.push(span(s.dirty[i] ? "count changed" : "count",
        "(" + hidden + (hidden === 1 ? " node" : " nodes") + (s.dirty[i] ? ", changed)" : ")")));
    }
    const div = row(s, i, s.depth[i], parts);
    div.dataset.side = s.k; div.dataset.id = i; div.dataset.status = s.status[i];
    div.firstChild.title = describe(s, i);
    if (s.kids[i].length) div.classList.add("branch");
    if (s.open[i]) div.classList.add("open");
    s.el[i] = div;
    return div;
  }

  function gapRow(s, run) {
    let nodes = 0;
    for (const c of run) nodes += s.size[c];
    const div = row(s, run[0], s.depth[run[0]], [span("label", "… " + run.length + " unchanged" +
      (nodes > run.length ? " (" + nodes + " nodes)" : ""))]);
    div.classList.add("gap");
    div.run = run;
    for (const c of run) s.gapOf[c] = div;
    return div;
  }

  // Rows for `items` (node ids, or arrays of folded siblings) and everything
  // shown below them, in pre-order; iterative, as trees may be very deep.
  function rows(s, items) {
    const frag = document.createDocumentFragment(), todo = items.reverse();
    while (todo.length) {
      const it = todo.pop();
      if (Array.isArray(it)) { frag.append(gapRow(s, it)); continue; }
      frag.append(nodeRow(s, it));
      if (s.open[it]) todo.push(...childItems(s, it).reverse());
    }
    return frag;
  }

  function childItems(s, i) {
    const out = [];
    let run = [];
    for (const c of s.kids[i]) {
      if (s.folded[c]) { run.push(c); continue; }
      if (run.length) { out.push(run); run = []; }
      out.push(c);
    }
    if (run.length) out.push(run);
    return out;
  }

  function expand(s, i) {
    if (s.open[i] || !s.kids[i].length) return;
    for (const c of s.kids[i]) s.folded[c] = 0;  // asked for: show every child
    s.open[i] = 1;
    s.el[i].classList.add("open");
    s.el[i].after(rows(s, childItems(s, i)));
  }

  function collapse(s, i) {
    s.open[i] = 0;
    s.el[i].classList.remove("open");
    const end = i + s.size[i];
    for (let r = s.el[i].nextSibling; r && r.first < end;) {
      const next = r.nextSibling;
      if (r.run) for (const c of r.run) s.gapOf[c] = undefined; else s.el[r.first] = undefined;
      r.remove();
      r = next;
    }
  }

  function openGap(s, div) {
    for (const c of div.run) { s.folded[c] = 0; s.gapOf[c] = undefined; }
    div.replaceWith(rows(s, div.run.slice()));
  }

  // (Re)draw a side: everything open, or only the subtrees holding changes.
  function draw(s, all) {
    s.el = new Array(s.n); s.gapOf = new Array(s.n);
    for (let i = 0; i < s.n; i++) {
      s.open[i] = all || changed(s, i) ? 1 : 0;
      s.folded[i] = 0;
    }
    if (!all) {
      for (let i = 0; i < s.n; i++) {
        const kids = s.kids[i];
        for (let a = 0, b = 0; a < kids.length; a = b + 1) {
          for (b = a; b < kids.length && !changed(s, kids[b]); b++);
          if (b - a > FOLD) for (let c = a; c < b; c++) s.folded[kids[c]] = 1;
        }
      }
    }
    s.root.textContent = "";
    if (s.n) s.root.append(rows(s, [0]));
  }

  function reveal(s, i) {
    const path = [i];
    for (let v = s.parents[i]; v >= 0; v = s.parents[v]) path.push(v);
    for (let k = path.length - 1; k >= 0; k--) {
      if (!s.el[path[k]]) openGap(s, s.gapOf[path[k]]);
      if (k) expand(s, path[k]);
    }
    return s.el[i].firstChild;
  }

  function hit(e) {
    const div = e.target.closest(".node");
    return div && div.dataset.side ? [sides[div.dataset.side], Number(div.dataset.id), div.firstChild] : null;
  }

  function highlight(e, on) {
    const h = hit(e);
    if (!h) return;
    h[2].classList.toggle("hl", on);
    const p = h[0].partner[h[1]], pr = p >= 0 && other(h[0]).el[p];
    if (!pr) return;
    pr.firstChild.classList.toggle("hl", on);
    if (on) pr.firstChild.scrollIntoView({ block: "nearest", inline: "nearest" });
  }

  for (const s of [T1, T2]) {
    document.getElementById("info" + s.k).textContent = "· " + s.n + " nodes";
    draw(s, location.hash === "#expand-all");
    s.root.addEventListener("mouseover", (e) => highlight(e, true));
    s.root.addEventListener("mouseout", (e) => highlight(e, false));
    s.root.addEventListener("click", (e) => {
      const gap = e.target.closest(".gap");
      if (gap) { openGap(s, gap); return; }
      const h = hit(e);
      if (!h) return;
      const i = h[1], p = s.partner[i];
      if (e.target.classList.contains("tog") || p < 0) {
        if (s.open[i]) collapse(s, i); else expand(s, i);
        return;
      }
      const pr = reveal(other(s), p);
      pr.classList.add("hl");
      pr.scrollIntoView({ block: "center", inline: "nearest" });
    });
  }
  document.getElementById("expand-all").onclick = () => { draw(T1, true); draw(T2, true); };
  document.getElementById("fold-unchanged").onclick = () => { draw(T1, false); draw(T2, false); };

  const count = (s, st) => s.status.filter((x) => x === st).length;
  const counts = { kept: count(T1, "kept"), renamed: count(T1, "renamed"),
    deleted: count(T1, "deleted"), inserted: count(T2, "inserted") };
  const legend = document.getElementById("legend");
  for (const st of ["kept", "renamed", "deleted", "inserted"]) {
    const key = span("key");
    key.dataset.key = st;
    key.append(span("swatch " + st), st, span("num", counts[st]));
    legend.append(key);
  }
  document.getElementById("summary").textContent = "distance " + data.distance + " · " +
    counts.renamed + " renamed, " + counts.deleted + " deleted, " + counts.inserted + " inserted, " +
    counts.kept + " kept · " + T1.n + " → " + T2.n + " nodes";
  document.body.dataset.ready = "1";
})();
