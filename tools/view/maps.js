// The pool-maps section: the layout of one pool at one moment ("peak" or "end"). A general
// pool's chunks become strips (header, block runs and free runs at their offsets, or the 512-cell
// heat strip of a busy chunk); a paged pool's pages become squares coloured by fill, grouped by
// slot size, beside the per-class table. Drawn on one canvas per view; hover finds the run,
// cell or page under the pointer by arithmetic, not by per-item elements.
"use strict";

const RUN_COLOURS = { h: "#1d232b", b: "#3a6fb0", f: "#dfe6ee" };
const RUN_NAMES = { h: "chunk header", b: "blocks", f: "free" };
const MAX_CHUNKS_DRAWN = 200;
const STRIP = { label: 16, bar: 20, gap: 10 };
const PAGE = { size: 11, gap: 2, label: 20 };

// FILL_SHADES[k]: the colour of something k/255 full, from the free colour to the used one.
const FILL_SHADES = Array.from({ length: 256 }, (_, k) => {
  const from = [223, 230, 238], to = [31, 79, 138];
  const mix = from.map((c, i) => Math.round(c + ((to[i] - c) * k) / 255));
  return "rgb(" + mix.join(",") + ")";
});
const fillShade = (fraction) => FILL_SHADES[Math.max(0, Math.min(255, Math.round(fraction * 255)))];

function cellFractions(hex) {
  const fractions = new Float64Array(hex.length >> 1);
  for (let i = 0; i < fractions.length; i++) fractions[i] = parseInt(hex.substr(2 * i, 2), 16) / 255;
  return fractions;
}

function drawChunkStrip(context, chunk, top, width) {
  const scale = width / Math.max(chunk.bytes, 1);
  if (chunk.cells) {
    const fractions = cellFractions(chunk.cells), cell = width / fractions.length;
    fractions.forEach((f, i) => {
      context.fillStyle = fillShade(f);
      context.fillRect(i * cell, top, cell + 0.5, STRIP.bar);
    });
    return;
  }
  for (const [kind, offset, bytes] of chunk.runs || []) {
    context.fillStyle = RUN_COLOURS[kind] || "#c8494b";
    context.fillRect(offset * scale, top, Math.max(bytes * scale, 0.75), STRIP.bar);
  }
}

function chunkLabel(chunk) {
  const used = chunk.bytes ? Math.round((100 * chunk.usedBytes) / chunk.bytes) : 0;
  return chunk.address + ": " + formatBytes(chunk.bytes) + ", " + used + "% in blocks, " +
         formatCount(chunk.pieces) + " pieces" + (chunk.cells ? " (shaded by use, 512 cells)" : "");
}

function chunkTip(chunk, x, width) {
  const offset = Math.floor((x / width) * chunk.bytes);
  if (chunk.cells) {
    const fractions = cellFractions(chunk.cells), i = Math.min(fractions.length - 1, Math.floor((x / width) * fractions.length));
    const cellBytes = chunk.bytes / fractions.length;
    return ["offsets " + formatCount(Math.floor(i * cellBytes)) + " to " + formatCount(Math.floor((i + 1) * cellBytes)),
            Math.round(fractions[i] * 100) + "% in blocks"];
  }
  const runs = chunk.runs || [];
  let i = lowerBound(runs.map((r) => r[1]), offset + 1) - 1;
  if (i < 0) return null;
  const [kind, start, bytes, pieces] = runs[i];
  return [RUN_NAMES[kind] || kind, "offset " + formatCount(start) + ", " + formatBytes(bytes) +
          " (" + formatCount(bytes) + " bytes), " + formatCount(pieces) + " piece" + (pieces === 1 ? "" : "s")];
}

// Free space split into many small runs is fragmentation: the largest free run against all free.
function freeSummary(chunks) {
  let free = 0, largest = 0, runs = 0;
  for (const chunk of chunks)
    for (const [kind, , bytes] of chunk.runs || [])
      if (kind === "f") { free += bytes; runs++; largest = Math.max(largest, bytes); }
  return runs ? "free: " + formatBytes(free) + " in " + formatCount(runs) + " runs, the largest " +
                formatBytes(largest) + " (chunks shown as cells not counted)" : "";
}

function drawGeneralMap(area, details, poolMap) {
  const chunks = poolMap.chunks || [];
  const drawn = chunks.slice(0, MAX_CHUNKS_DRAWN);
  const rowHeight = STRIP.label + STRIP.bar + STRIP.gap;
  const chart = makeCanvas(area, chartWidth(area), Math.max(rowHeight * drawn.length, rowHeight));
  const { context, width } = chart;
  context.textBaseline = "top";
  drawn.forEach((chunk, i) => {
    const top = i * rowHeight;
    context.fillStyle = "#55606d";
    context.fillText(chunkLabel(chunk), 0, top + 2);
    drawChunkStrip(context, chunk, top + STRIP.label, width);
  });
  onPointer(chart.canvas, (x, y, event) => {
    const chunk = drawn[Math.floor(y / rowHeight)];
    const tip = chunk && y % rowHeight >= STRIP.label && y % rowHeight < STRIP.label + STRIP.bar ? chunkTip(chunk, x, width) : null;
    if (tip) showTip([chunk.address].concat(tip), event); else hideTip();
  });
  const notes = [formatCount(chunks.length) + " chunk" + (chunks.length === 1 ? "" : "s"), freeSummary(chunks)];
  if (chunks.length > drawn.length) notes.push("the first " + drawn.length + " drawn");
  if (poolMap.omittedEntries) notes.push(formatCount(poolMap.omittedEntries) + " entries left out by the tracer");
  details.append(el("p", { text: notes.filter(Boolean).join("; ") }));
  const key = el("div", { class: "legend" });
  legend(key, Object.keys(RUN_COLOURS).map((k) => ({ name: RUN_NAMES[k], colour: RUN_COLOURS[k] })));
  details.append(key);
}

// Pages grouped by slot size, in class order: [{slot, pages: [...]}].
function pageGroups(poolMap) {
  const bySlot = new Map();
  for (const page of poolMap.pages || []) {
    if (!bySlot.has(page[1])) bySlot.set(page[1], []);
    bySlot.get(page[1]).push(page);
  }
  return [...bySlot.keys()].sort((a, b) => a - b).map((slot) => ({ slot, pages: bySlot.get(slot) }));
}

function layoutPageGroups(groups, width) {
  const perRow = Math.max(1, Math.floor(width / (PAGE.size + PAGE.gap)));
  let top = 0;
  for (const group of groups) {
    group.top = top;
    group.perRow = perRow;
    top += PAGE.label + Math.ceil(group.pages.length / perRow) * (PAGE.size + PAGE.gap) + 6;
  }
  return top;
}

function pageAt(groups, x, y) {
  const group = groups.filter((g) => g.top <= y).pop();
  if (!group) return null;
  const row = Math.floor((y - group.top - PAGE.label) / (PAGE.size + PAGE.gap));
  const column = Math.floor(x / (PAGE.size + PAGE.gap));
  if (row < 0 || column >= group.perRow) return null;
  return group.pages[row * group.perRow + column] || null;
}

function drawPagedGrid(area, poolMap) {
  const groups = pageGroups(poolMap);
  const width = chartWidth(area);
  const chart = makeCanvas(area, width, Math.max(layoutPageGroups(groups, width), 40));
  const { context } = chart;
  context.textBaseline = "top";
  for (const group of groups) {
    context.fillStyle = "#55606d";
    context.fillText(formatCount(group.slot) + "-byte slots: " + formatCount(group.pages.length) + " pages", 0, group.top + 4);
    group.pages.forEach((page, i) => {
      context.fillStyle = fillShade(page[2] ? page[3] / page[2] : 0);
      context.fillRect((i % group.perRow) * (PAGE.size + PAGE.gap),
                       group.top + PAGE.label + Math.floor(i / group.perRow) * (PAGE.size + PAGE.gap), PAGE.size, PAGE.size);
    });
  }
  onPointer(chart.canvas, (x, y, event) => {
    const page = pageAt(groups, x, y);
    if (page) showTip(["page " + page[0], formatCount(page[1]) + "-byte slots: " + formatCount(page[3]) + " of " +
                       formatCount(page[2]) + " used"], event);
    else hideTip();
  });
}

const FILL_BINS = ["0%", "1-10%", "11-20%", "21-30%", "31-40%", "41-50%", "51-60%", "61-70%", "71-80%", "81-90%", "91-100%"];

function fillHistogram(counts) {
  const max = Math.max(1, ...counts);
  const bars = el("span", { class: "histogram" });
  counts.forEach((count, i) => {
    const bar = el("span", { title: FILL_BINS[i] + " full: " + count + " pages" });
    bar.style.height = Math.round((count / max) * 22) + "px";
    bars.append(bar);
  });
  return bars;
}

function classTable(poolMap) {
  const rows = (poolMap.classes || []).map(([slot, pages, slots, used, bins]) =>
    [formatCount(slot), formatCount(pages), formatCount(slots), formatCount(used),
     slots ? Math.round((100 * used) / slots) + "%" : "", fillHistogram(bins || [])]);
  return makeTable(["slot size", "pages", "slots", "used slots", "fill", "pages by fill (0% ... 91-100%)"],
                   rows, { numeric: [0, 1, 2, 3, 4] });
}

function drawPagedMap(area, details, poolMap) {
  drawPagedGrid(area, poolMap);
  const notes = [formatCount((poolMap.pages || []).length) + " pages drawn, darker when fuller"];
  if (poolMap.omittedPages) notes.push(formatCount(poolMap.omittedPages) + " more pages left out by the tracer");
  details.append(el("p", { text: notes.join("; ") }), classTable(poolMap));
}

function selectControl(label, options, onChange) {
  const select = el("select", { onchange: () => onChange(select.value) });
  for (const [value, text] of options) select.append(el("option", { value, text }));
  return { element: el("label", {}, label + " ", select), select };
}

function renderPoolMaps(section, trace, names) {
  const area = section.querySelector(".chart-area"), details = section.querySelector(".details");
  const maps = (trace.maps || []).filter((m) => Array.isArray(m.pools) && m.pools.length);
  if (!maps.length) return missing(area, "Not recorded: this trace has no pool maps.");
  const controls = section.querySelector(".controls");
  // The pool that holds the most at the first moment is shown first: the one a reader asks about.
  const held = (p) => p.kind === "paged" ? (p.classes || []).reduce((sum, c) => sum + c[1], 0) * 4096
    : (p.chunks || []).reduce((sum, c) => sum + c.bytes, 0);
  const largest = maps[0].pools.reduce((best, p) => (held(p) > held(best) ? p : best));
  let moment = maps[0], poolId = String(largest.pool);
  const draw = () => {
    area.replaceChildren(); details.replaceChildren();
    const poolMap = moment.pools.find((p) => String(p.pool) === poolId) || moment.pools[0];
    if (poolMap.kind === "paged") drawPagedMap(area, details, poolMap);
    else drawGeneralMap(area, details, poolMap);
  };
  const momentChoice = selectControl("moment", maps.map((m, i) => [i, m.moment + " (" + formatMs(m.t) + ", " + formatBytes(m.heldBytes) + " held)"]),
                                     (value) => { moment = maps[value]; fillPools(); draw(); });
  const poolChoice = selectControl("pool", [], (value) => { poolId = value; draw(); });
  const fillPools = () => {
    poolChoice.select.replaceChildren(...moment.pools.map((p) => el("option", { value: p.pool, text: names(p.pool) + " (" + p.kind + ")" })));
    if (!moment.pools.some((p) => String(p.pool) === poolId)) poolId = String(moment.pools[0].pool);
    poolChoice.select.value = poolId;
  };
  controls.append(momentChoice.element, poolChoice.element);
  fillPools();
  draw();
}
