// Flame graphs of the call stacks: the live bytes at the peak and the allocations. Each frame is a
// bar as wide as its share of the graph, standing on its caller's bar; stacks that share their
// outer frames share those bars, so a function's whole weight is read from one bar, which the
// tables (one row per stack) cannot show. Bars are positioned divs, not a canvas: at most 1000
// stacks of 16 frames, and each bar is then its own hover title and click target. A click zooms
// to the bar (its callers stay below it, full width); a click on the bottom bar goes back.
"use strict";

const FLAME_ROW = 18; // CSS pixels per frame
// Bars narrower than this share of the zoomed bar are left out: under a pixel at any page width.
const FLAME_LEAST = 0.0005;

const FLAME_GRAPHS = [
  { id: "flame-peak", key: "peak", column: 1, title: "Live bytes at the peak, by call stack",
    empty: "Nothing was live at the peak.", format: formatBytes },
  { id: "flame-allocations", key: "allocations", column: 2, title: "Allocations, by call stack",
    empty: "No allocations were recorded.", format: (n) => formatCount(n) + " allocations" },
];

function flameNode(name, parent) {
  return { name, parent, value: 0, children: new Map(), depth: parent ? parent.depth + 1 : 0 };
}

// The tree of the stacks from their outermost frame in; rows: [stack id, value]. A node's value
// is the sum over the rows whose stack passes through it, its children are merged by name.
function flameTree(rows, framesOf, nameOf) {
  const root = flameNode("all stacks", null);
  for (const [id, value] of rows) {
    const frames = framesOf(id);
    const names = frames.length ? frames.map(nameOf).reverse() : ["(call site not recorded)"];
    let node = root;
    root.value += value;
    for (const name of names) {
      if (!node.children.has(name)) node.children.set(name, flameNode(name, node));
      node = node.children.get(name);
      node.value += value;
    }
  }
  return root;
}

function treeDepth(node) {
  let deepest = node.depth;
  for (const child of node.children.values()) deepest = Math.max(deepest, treeDepth(child));
  return deepest;
}

// The bars shown when zoomed to `focus`, as shares of the graph's width: its callers full width,
// then it and its callees, the largest first (leftmost).
function flameBars(focus) {
  const bars = [];
  for (let caller = focus.parent; caller; caller = caller.parent) bars.push({ node: caller, left: 0, width: 1 });
  const place = (node, left, width) => {
    bars.push({ node, left, width });
    for (const child of [...node.children.values()].sort((a, b) => b.value - a.value)) {
      const share = (width * child.value) / node.value;
      if (share >= FLAME_LEAST) place(child, left, share);
      left += share;
    }
  };
  place(focus, 0, 1);
  return bars;
}

// One hue per function name, the same in both graphs, in the warm range that tells bars from the
// page's pool colours.
function flameColour(name) {
  let hash = 0;
  for (const character of name) hash = (hash * 31 + character.codePointAt(0)) | 0;
  hash = Math.abs(hash);
  return "hsl(" + (5 + (hash % 45)) + ", 80%, " + (58 + ((hash >> 6) % 14)) + "%)";
}

function flameTitle(node, root, focus, format) {
  const ofZoom = focus !== root && node.depth > focus.depth ? ", " + percent(node.value / focus.value) + " of the zoomed frame" : "";
  return node.name + "\n" + format(node.value) + " (" + percent(node.value / root.value) + " of all" + ofZoom + ")";
}

// The graph of `root` (depth rows high whatever the zoom, so that the page does not jump).
function drawFlame(id, root, format) {
  const rows = treeDepth(root) + 1;
  const graph = el("div", { id, class: "flame", style: "height: " + rows * FLAME_ROW + "px" });
  const zoom = (focus) => {
    graph.dataset.focus = focus.name;
    graph.replaceChildren(...flameBars(focus).map(({ node, left, width }) => el("div", {
      class: node.depth < focus.depth ? "flame-bar caller" : "flame-bar",
      style: "left: " + (100 * left).toFixed(4) + "%; width: " + (100 * width).toFixed(4) + "%; top: " +
             (rows - 1 - node.depth) * FLAME_ROW + "px; background: " + flameColour(node.name),
      title: flameTitle(node, root, focus, format), "data-name": node.name, "data-value": String(node.value),
      "data-depth": String(node.depth), onclick: () => zoom(node),
    }, node.name)));
  };
  zoom(root);
  return graph;
}

// The graphs of the stacks that the filter keeps (by pool only where the stacks carry theirs:
// filter.js).
function renderFlameGraphs(section, trace) {
  const area = section.querySelector(".flames");
  const framesOf = stackLookup(trace);
  const nameOf = (frame) => frameNames(trace, frame).name;
  const sites = trace.sites || {};
  const poolOfStack = stackPools(trace);
  const poolOf = poolOfStack && ((row) => poolOfStack(row[0]));
  whenFilterChanges(() => {
    area.replaceChildren();
    if (trace.stackDepth === 0) missing(area, "Call sites were not recorded (stack depth 0).");
    for (const graph of FLAME_GRAPHS) {
      const rows = keptRows(sites[graph.key], trace, framesOf, (row) => row[0], poolOf);
      filteredPart(area, graph.title, rows, { words: true, pool: poolOf !== null }, graph.empty, () =>
        drawFlame(graph.id, flameTree(rows.map((row) => [row[0], row[graph.column]]), framesOf, nameOf), graph.format));
    }
  });
}
