// Reads the embedded trace and draws every section. Sections are independent: one that fails
// says so in place and the others still draw. When all succeed, body[data-rendered] = "ok";
// errors go to body[data-error]; body[data-rects] gives each chart's box in page coordinates
// (CSS pixels) by section id, and body[data-height] the page's height, for screenshots.
"use strict";

window.onerror = (message) => { document.body.dataset.error = String(message); };

const HELD = 3, LIVE = 1;  // columns of a sample's pool row: totalSize and liveBytes

function poolNamer(trace) {
  const byId = new Map((trace.pools || []).map((p) => [p.id, p.name]));
  return (id) => byId.get(id) || (byId.has(Number(id)) ? byId.get(Number(id)) : "pool " + id);
}

// {id: Float64Array over the samples} of one column of the samples' pool rows; absent = 0.
function poolColumns(samples, column) {
  const byId = new Map();
  samples.forEach((sample, i) => {
    for (const row of sample.pools || []) {
      if (!byId.has(row[0])) byId.set(row[0], new Float64Array(samples.length));
      byId.get(row[0])[i] = row[column];
    }
  });
  return byId;
}

function maxOf(values) { return values.reduce((max, v) => Math.max(max, v), 0); }

function heldTotals(samples) { return samples.map((s) => (s.pools || []).reduce((sum, row) => sum + row[HELD], 0)); }

function renderSummary(header, trace) {
  const samples = trace.samples || [];
  const leakBytes = (trace.leaks || []).reduce((sum, l) => sum + l.bytes, 0);
  const allocations = (trace.pools || []).reduce((sum, p) => sum + (p.allocations || 0), 0);
  const item = (label, value) => el("div", {}, label, el("b", { text: value }));
  const totals = header.querySelector(".totals");
  totals.append(item("process", String(trace.pid)),
                item("peak held", samples.length ? formatBytes(maxOf(heldTotals(samples))) : "not recorded"),
                item("peak resident", samples.length ? formatBytes(maxOf(residentLine(samples).values)) : "not recorded"),
                item("allocations", formatCount(allocations)),
                item("temporary allocations", trace.temporary ? formatCount(trace.temporary.allocations)
                                              : trace.sampleBytes ? "not counted when sampled" : "not recorded"),
                item("leaked at exit", formatBytes(leakBytes)),
                item("damaged blocks", formatCount((trace.damage || []).length)),
                item("invalid pointers", formatCount((trace.invalidPointers || []).length)));
  if (trace.sampling)
    header.append(el("p", { class: "how", text: "A sample every " + formatCount(trace.sampling.every) + " " +
                                               trace.sampling.unit + " (" + formatCount(samples.length) + " samples)." }));
  if (trace.sampleBytes)
    header.append(el("p", { class: "how", id: "sampled-requests",
                            text: "Call sites are estimates: the hooks saw about one request in every " +
                                  formatBytes(trace.sampleBytes) + " asked for, each weighed by the chance of seeing it, " +
                                  "and the heap engine served the rest unseen (its row in the charts). " +
                                  "Pools, leaks and damage are those of the seen blocks alone." }));
  if (trace.fatalSignal)
    header.append(el("p", { class: "warning", text: "Written at fatal signal " + trace.fatalSignal + ": what was recorded up to the fault." }));
}

// The process's resident memory, less the tracer's own tables when the trace says what they took:
// the line then shows what the program would hold untraced (bar the tracer's room in each block).
function residentLine(samples) {
  const known = samples.every((s) => typeof s.tracerRss === "number");
  return { name: known ? "resident, less the tracer's tables" : "resident (RSS)", colour: "#1d232b", width: 2,
           values: Float64Array.from(samples, (s) => s.rss - (known ? s.tracerRss : 0)) };
}

function memoryPlot(trace, names, column) {
  const samples = trace.samples;
  const columns = poolColumns(samples, column);
  const ids = [...columns.keys()].sort((a, b) => a - b);
  const peak = (trace.maps || []).find((m) => m.moment === "peak");
  return {
    times: Float64Array.from(samples, (s) => s.t),
    stacked: ids.map((id, k) => ({ name: names(id), colour: colour(k), values: columns.get(id) }))
                .filter((s) => maxOf(s.values) > 0),
    lines: [residentLine(samples)],
    markers: peak ? [{ t: peak.t, label: "peak map" }] : [],
    format: formatBytes, ticks: byteTicks, totalName: column === HELD ? "held, all pools" : "live, all pools",
    height: 320,
  };
}

function renderMemory(section, trace, names) {
  const area = section.querySelector(".chart-area");
  if (!(trace.samples || []).length) return missing(area, "Not recorded: this trace has no samples.");
  const key = section.querySelector(".legend");
  const draw = (column) => {
    area.replaceChildren(); key.replaceChildren();
    const plot = memoryPlot(trace, names, column);
    drawTimeChart(area, plot);
    legend(key, plot.stacked.concat(plot.lines));
  };
  const choice = (value, text, checked) =>
    el("label", {}, el("input", Object.assign({ type: "radio", name: "memory-column", value, onchange: () => draw(value) },
                                              checked ? { checked: "" } : {})), " " + text);
  section.querySelector(".controls").append(choice(HELD, "held by the pools", true), choice(LIVE, "live (the callers' bytes)", false));
  draw(HELD);
}

function renderSizes(section, trace, names) {
  const area = section.querySelector(".chart-area");
  const sizes = (trace.sizes || []).filter((s) => (s.buckets || []).length);
  if (!trace.sizes) return missing(area, "Not recorded in this trace.");
  if (!sizes.length) return missing(area, "No requests were recorded.");
  const all = sizes.flatMap((s) => s.buckets);
  const range = { low: Math.max(1, Math.min(...all.map((b) => b[0]))), high: Math.max(...all.map((b) => b[1])) };
  const grid = el("div", { class: "grid2" });
  area.append(grid);
  const width = Math.floor((chartWidth(area) - 24) / 2);
  for (const entry of sizes) {
    const requests = entry.buckets.reduce((sum, b) => sum + b[2], 0);
    const box = el("div", { class: "small-chart" }, el("h3", { text: names(entry.pool) + ": " + formatCount(requests) + " requests" }));
    grid.append(box);
    drawHistogram(box, entry.buckets, range, width, 150);
  }
}

// {swap file index: {column: Float64Array over the samples}} from the samples' "swap" rows.
function swapColumns(samples) {
  const files = new Map();
  samples.forEach((sample, i) => {
    for (const row of sample.swap || []) {
      if (!files.has(row[0])) files.set(row[0], [2, 3, 4, 5].map(() => new Float64Array(samples.length)));
      files.get(row[0]).forEach((values, k) => { values[i] = row[k + 2]; });
    }
  });
  return files;
}

function renderSwap(section, trace, names) {
  const area = section.querySelector(".chart-area");
  const samples = trace.samples || [];
  const files = swapColumns(samples);
  if (!files.size) return missing(area, trace.swapFiles ? "The swap files left no samples." : "No swap file was traced.");
  const zoneOf = new Map((trace.swapFiles || []).map((f) => [f.index, f.zonePool]));
  const times = Float64Array.from(samples, (s) => s.t);
  const use = { times, stacked: [], lines: [], format: formatBytes, ticks: byteTicks, totalName: "in zones", height: 260 };
  const moved = { times, stacked: [], lines: [], format: formatCount, ticks: (max) => niceTicks(max, 5), totalName: "", height: 260 };
  let k = 0;
  for (const [index, [inZone, capacity, outs, ins]] of files) {
    const zone = zoneOf.has(index) && zoneOf.get(index) >= 0 ? " (" + names(zoneOf.get(index)) + ")" : "";
    use.stacked.push({ name: "file " + index + " in zone" + zone, colour: colour(k), values: inZone });
    use.lines.push({ name: "file " + index + " zone capacity", colour: colour(k), values: capacity, dash: [6, 3], width: 2 });
    moved.lines.push({ name: "file " + index + " moved out", colour: colour(k), values: outs, width: 2 },
                     { name: "file " + index + " moved in", colour: colour(k + 1), values: ins, dash: [5, 3], width: 2 });
    k += 2;
  }
  const grid = el("div", { class: "grid2" });
  area.append(grid);
  for (const [title, plot] of [["zone use (bytes)", use], ["objects moved, so far", moved]]) {
    const box = el("div", { class: "small-chart" }, el("h3", { text: title }));
    const chartBox = el("div", { class: "chart-area" });
    box.append(chartBox, el("div", { class: "legend" }));
    grid.append(box);
    drawTimeChart(chartBox, plot);
    legend(box.querySelector(".legend"), plot.stacked.concat(plot.lines));
  }
}

const SECTIONS = [["memory-chart", renderMemory], ["pool-maps", renderPoolMaps], ["size-histograms", renderSizes],
                  ["site-filter", renderSiteFilter], ["call-sites", renderCallSites], ["flame-graphs", renderFlameGraphs],
                  ["swap-chart", renderSwap]];

function chartRects() {
  const rects = {};
  for (const [id] of SECTIONS) {
    const area = document.querySelector("#" + id + " > .chart-area");
    if (!area || !area.querySelector("canvas")) continue;
    const box = area.getBoundingClientRect();
    rects[id] = { x: box.left + window.scrollX, y: box.top + window.scrollY, width: box.width, height: box.height };
  }
  return rects;
}

function renderPage() {
  const started = performance.now();
  const trace = JSON.parse(document.getElementById("trace-data").textContent);
  const names = poolNamer(trace);
  const errors = [];
  renderSummary(document.getElementById("summary"), trace);
  for (const [id, render] of SECTIONS) {
    const section = document.getElementById(id);
    try {
      render(section, trace, names);
    } catch (error) {
      errors.push(id + ": " + error.message);
      section.append(el("p", { class: "warning", text: "This section could not be drawn: " + error.message }));
    }
  }
  const body = document.body.dataset;
  if (errors.length) body.error = errors.join("; "); else body.rendered = "ok";
  body.rects = JSON.stringify(chartRects());
  body.height = String(document.documentElement.scrollHeight);
  body.renderMs = (performance.now() - started).toFixed(0);
}

renderPage();
