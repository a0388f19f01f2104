// Tables, and the call-sites section built from them: live bytes at the peak, leaks at exit,
// allocations and temporary allocations by call site, leaks by pool and size (these narrowed by
// the filter, filter.js), damaged blocks and invalid pointers. A call site is named by
// its first frame (the function that asked); a click on the row opens the whole stack. Long
// tables show their first rows until asked for the rest, so 1000 sites cost little.
"use strict";

const ROWS_SHOWN = 50;

// headers: column titles; rows: arrays of cells (text or nodes); options: {numeric: column
// indexes, expand: row index -> node shown under the row on click}.
function makeTable(headers, rows, options = {}) {
  const numeric = new Set(options.numeric || []);
  const cell = (tag, content, i) => {
    const node = el(tag, numeric.has(i) ? { class: "number" } : {});
    node.append(content == null ? "" : content);
    return node;
  };
  const body = el("tbody");
  const table = el("table", {}, el("thead", {}, el("tr", {}, ...headers.map((h, i) => cell("th", h, i)))), body);
  const addRows = (from, to) => {
    for (let r = from; r < to; r++) {
      const row = el("tr", {}, ...rows[r].map((content, i) => cell("td", content, i)));
      if (options.expand) attachExpansion(row, headers.length, () => options.expand(r));
      body.append(row);
    }
  };
  addRows(0, Math.min(rows.length, ROWS_SHOWN));
  if (rows.length <= ROWS_SHOWN) return table;
  const more = el("button", { text: "show all " + formatCount(rows.length) + " rows", onclick: () => {
    addRows(ROWS_SHOWN, rows.length);
    more.remove();
  } });
  return el("div", {}, table, more);
}

function attachExpansion(row, columns, detail) {
  row.classList.add("expandable");
  let open = null;
  row.addEventListener("click", () => {
    if (open) { open.remove(); open = null; return; }
    const td = el("td", { colspan: columns });
    td.append(detail());
    open = el("tr", { class: "stack" }, td);
    row.after(open);
  });
}

function baseName(path) { return path ? path.slice(path.lastIndexOf("/") + 1) : ""; }

// What is known of a frame: addr2line's function and line (qor-view's "symbols"), else the
// frame's dynamic symbol.
function frameNames(trace, frame) {
  const known = ((trace.symbols || {})[frame.module] || {})[frame.offset] || [];
  return { name: known[0] || frame.symbol || "(no symbol) " + frame.address, line: known[1] || "",
           module: baseName(frame.module) };
}

function stackLookup(trace) {
  const byId = new Map();
  for (const stack of trace.stacks || []) byId.set(stack.id, stack.frames || []);
  return (id) => byId.get(id) || [];
}

// A program that routes its global new through the library has its own operator new (or an
// allocator's allocate) above the library: the call site is the first frame past them.
const ALLOCATION_FRAME = /^(operator new|operator delete|std::allocator|std::__new_allocator|__gnu_cxx::new_allocator|QORSys::)/;

// The cells naming a call site: function, file:line, module.
function siteCells(trace, frames) {
  if (!frames.length) return ["(call site not recorded)", "", ""];
  const named = frames.map((frame) => frameNames(trace, frame));
  const site = named.find((names) => !ALLOCATION_FRAME.test(names.name)) || named[0];
  return [site.name, site.line, site.module];
}

function stackDetail(trace, frames) {
  if (!frames.length) return el("span", { text: "No stack was recorded for this call site." });
  const lines = frames.map((frame, i) => {
    const names = frameNames(trace, frame);
    return "#" + i + "  " + names.name + (names.line ? "  " + names.line : "") + "  (" + names.module + " + " + frame.offset + ")";
  });
  return el("div", { style: "white-space: pre", text: lines.join("\n") });
}

// rows: [stack id, bytes, count]; `counted` names the count's column.
function siteTable(trace, framesOf, rows, counted = "blocks") {
  return makeTable(["bytes", counted, "function", "file:line", "module"],
                   rows.map(([id, bytes, blocks]) => [formatBytes(bytes), formatCount(blocks), ...siteCells(trace, framesOf(id))]),
                   { numeric: [0, 1], expand: (r) => stackDetail(trace, framesOf(rows[r][0])) });
}

// Each site's temporary allocations, with their share of all its allocations when the site is
// among the allocations listed (the report lists the 1000 largest of each).
function temporaryTable(trace, framesOf, rows) {
  const allocations = new Map(((trace.sites || {}).allocations || []).map(([id, , count]) => [id, count]));
  const share = (id, count) => (allocations.get(id) ? percent(count / allocations.get(id)) : "");
  return makeTable(["temporary", "of the site's allocations", "bytes", "function", "file:line", "module"],
                   rows.map(([id, bytes, count]) => [formatCount(count), share(id, count), formatBytes(bytes),
                                                     ...siteCells(trace, framesOf(id))]),
                   { numeric: [0, 1, 2], expand: (r) => stackDetail(trace, framesOf(rows[r][0])) });
}

// The temporary allocations of the whole process, call sites known or not.
function temporaryTotal(trace) {
  const total = trace.temporary;
  const allocations = (trace.pools || []).reduce((sum, p) => sum + (p.allocations || 0), 0);
  const share = allocations ? ", " + percent(total.allocations / allocations) + " of all allocations" : "";
  return el("p", { class: "how", id: "temporary-total",
                   text: formatCount(total.allocations) + " temporary allocations (" + formatBytes(total.bytes) + ")" +
                         share + ": blocks released before any other allocation was made, in any thread." });
}

function leakSiteTable(trace, framesOf, names, rows) {
  return makeTable(["bytes", "blocks", "size", "pool", "function", "file:line"],
                   rows.map((s) => [formatBytes(s.bytes), formatCount(s.count), formatCount(s.size), names(s.pool),
                                    ...siteCells(trace, framesOf(s.stack)).slice(0, 2)]),
                   { numeric: [0, 1, 2], expand: (r) => stackDetail(trace, framesOf(rows[r].stack)) });
}

function leakTable(leaks) {
  return makeTable(["pool", "size", "count", "bytes", "first block"],
                   leaks.map((l) => [l.pool, formatCount(l.size), formatCount(l.count), formatBytes(l.bytes), l.first]),
                   { numeric: [1, 2, 3] });
}

function damageTable(trace, framesOf) {
  const rows = trace.damage;
  return makeTable(["block", "size", "pool", "overwritten", "found at", "block below", "allocated in"],
                   rows.map((d) => [d.block, formatCount(d.size), d.pool, (d.areas || []).join(", "), d.found,
                                    d.below ? d.below + " (" + formatCount(d.belowSize) + " bytes)" : "",
                                    siteCells(trace, framesOf(d.stack))[0]]),
                   { numeric: [1], expand: (r) => stackDetail(trace, framesOf(rows[r].stack)) });
}

function invalidTable(pointers) {
  return makeTable(["pointer", "reason", "pool"], pointers.map((p) => [p.pointer, p.reason, p.pool]));
}

// One titled part of the section: the table, or why there is none.
function part(container, title, present, empty, build) {
  container.append(el("h3", { text: title }));
  if (present === undefined) missing(container, "Not recorded in this trace.");
  else if (!present.length) container.append(el("p", { text: empty }));
  else container.append(build());
}

// The rows of `rows` that the filter keeps; stackOf and poolOf read a row's (poolOf absent: the
// rows name no pool, and the pool does not narrow them).
function keptRows(rows, trace, framesOf, stackOf, poolOf) {
  return rows && rows.filter((row) => stackMatches(trace, framesOf(stackOf(row))) && (!poolOf || poolMatches(poolOf(row))));
}

function renderCallSites(section, trace, names) {
  const tables = section.querySelector(".tables");
  const framesOf = stackLookup(trace);
  const sites = trace.sites || {};
  const poolOfStack = stackPools(trace);
  const bySite = (rows) => keptRows(rows, trace, framesOf, (row) => row[0], poolOfStack && ((row) => poolOfStack(row[0])));
  const site = { words: true, pool: poolOfStack !== null };
  whenFilterChanges(() => {
    tables.replaceChildren();
    if (trace.stackDepth === 0) missing(tables, "Call sites were not recorded (stack depth 0).");
    filteredPart(tables, "Live at the peak, by call site", bySite(sites.peak), site, "Nothing was live at the peak.",
                 (rows) => siteTable(trace, framesOf, rows));
    filteredPart(tables, "Leaks at exit, by call site", bySite(sites.exit), site, "No leaks.",
                 (rows) => siteTable(trace, framesOf, rows));
    filteredPart(tables, "Leaks by call site, pool and size",
                 keptRows(trace.leakSites, trace, framesOf, (s) => s.stack, (s) => s.pool), { words: true, pool: true },
                 "No leaks.", (rows) => leakSiteTable(trace, framesOf, names, rows));
    filteredPart(tables, "Leaks by pool and size", trace.leaks && trace.leaks.filter((l) => poolMatches(l.pool, names)),
                 { pool: true }, "No leaks.", (rows) => leakTable(rows));
    filteredPart(tables, "Allocations by call site", bySite(sites.allocations), site, "No allocations were recorded.",
                 (rows) => siteTable(trace, framesOf, rows, "allocations"));
    const temporary = filteredPart(tables, "Temporary allocations by call site", bySite(sites.temporary), site,
                                   "No temporary allocations.", (rows) => temporaryTable(trace, framesOf, rows));
    if (trace.temporary) temporary.querySelector("h3").after(temporaryTotal(trace));
    part(tables, "Damaged blocks", trace.damage, "None found.", () => damageTable(trace, framesOf));
    part(tables, "Invalid pointers", trace.invalidPointers, "None.", () => invalidTable(trace.invalidPointers));
  });
}
