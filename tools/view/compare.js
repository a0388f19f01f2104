// The comparison page: per call site and per pool, how the new run's figures differ from the
// baseline's, as qor-view computed them (largest change in bytes first). A click on a call site
// opens its whole stack. body[data-rendered] = "ok" once drawn, body[data-error] on a failure.
"use strict";

window.onerror = (message) => { document.body.dataset.error = String(message); };

const FIGURE_NAMES = {
  peakBytes: "live at the peak", peakBlocks: "blocks live at the peak", leakedBytes: "leaked at exit",
  leakedBlocks: "blocks leaked", peakHeldBytes: "held at the peak", peakLiveBytes: "peak live",
  allocations: "allocations",
};

function formatFigure(name, value) { return name.endsWith("Bytes") ? formatBytes(value) : formatCount(value); }

// The change, signed and coloured, above the two runs' values.
function changeCell(name, before, after) {
  const change = after - before;
  const text = (change > 0 ? "+" : "") + formatFigure(name, change);
  return el("span", { class: change > 0 ? "grown" : change < 0 ? "shrunk" : "" }, text,
            el("div", { class: "was", text: formatFigure(name, before) + " → " + formatFigure(name, after) }));
}

function figureCells(names, row) { return names.map((name, i) => changeCell(name, row.baseline[i], row.new[i])); }

// The call site's own frame: the first past the allocator (ALLOCATION_FRAME, tables.js).
function siteName(stack) {
  if (!stack.length) return "(call site not recorded)";
  return stack.find((label) => !ALLOCATION_FRAME.test(label)) || stack[0];
}

function changeTable(headers, names, rows, nameCells, expand) {
  const numeric = names.map((_, i) => i);
  return makeTable(names.map((name) => FIGURE_NAMES[name] || name).concat(headers),
                   rows.map((row) => figureCells(names, row).concat(nameCells(row))), { numeric, expand });
}

function section(title, rows, unchanged, build) {
  const content = document.getElementById("content");
  content.append(el("h2", { text: title }));
  content.append(el("p", { class: "how", text: formatCount(rows.length) + " changed, " + formatCount(unchanged) + " unchanged." }));
  if (rows.length) content.append(build());
}

function renderRuns(data) {
  const names = ["peakHeldBytes", "allocations", "leakedBytes"];
  const row = { baseline: names.map((n) => data.baseline[n]), new: names.map((n) => data.new[n]) };
  const runs = makeTable(["", "baseline", "new run"], [["report", data.baseline.source, data.new.source],
                                                       ["process", String(data.baseline.pid), String(data.new.pid)],
                                                       ["command", data.baseline.command, data.new.command]]);
  document.getElementById("summary").append(runs, changeTable([], names, [row], () => []));
}

function renderComparison() {
  const data = JSON.parse(document.getElementById("page-data").textContent);
  renderRuns(data);
  section("Call sites", data.sites, data.unchangedSites,
          () => changeTable(["call site"], data.siteFigures, data.sites, (row) => [siteName(row.key)],
                            (r) => el("div", { style: "white-space: pre", text: data.sites[r].key.join("\n") })));
  section("Pools", data.pools, data.unchangedPools,
          () => changeTable(["pool", "kind"], data.poolFigures, data.pools, (row) => row.key));
  document.body.dataset.rendered = "ok";
}

renderComparison();
