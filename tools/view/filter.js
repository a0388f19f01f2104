// The filter of the call sites: a pool, and words that one frame of a stack must hold in its
// function's name (case ignored). It narrows the call-site tables and the flame graphs, which draw
// themselves again at each change. A report keeps each stack's pool (the same frames in two pools
// are two stacks), so the pool narrows every list; an older one counted a stack over every pool,
// and there only the leaks by call site, pool and size are narrowed by pool, the other lists
// saying so while a pool is chosen.
"use strict";

const siteFilter = { pool: "", words: "", redraws: [] };

// Draws now, and again whenever the filter changes.
function whenFilterChanges(draw) {
  siteFilter.redraws.push(draw);
  draw();
}

function changeFilter(change) {
  Object.assign(siteFilter, change);
  for (const draw of siteFilter.redraws) draw();
}

function filterWords() { return siteFilter.words.trim().toLowerCase(); }

function stackMatches(trace, frames) {
  const words = filterWords();
  return !words || frames.some((frame) => frameNames(trace, frame).name.toLowerCase().includes(words));
}

// `pool`: an id, or with `names` a pool's name (the leaks by pool and size name theirs).
function poolMatches(pool, names) {
  if (siteFilter.pool === "") return true;
  return names ? pool === names(Number(siteFilter.pool)) : String(pool) === siteFilter.pool;
}

// The pool of a stack id, or null when the report's stacks carry no pool.
function stackPools(trace) {
  const stacks = trace.stacks || [];
  if (!stacks.length || stacks.some((stack) => stack.pool === undefined)) return null;
  const byId = new Map(stacks.map((stack) => [stack.id, stack.pool]));
  return (id) => byId.get(id);
}

// One titled part drawn from rows the filter has narrowed; `narrows` says by what: {pool, words}.
// Returns its box, which carries the title, so that a test finds the part's rows.
function filteredPart(container, title, rows, narrows, empty, build) {
  const box = el("div", { class: "part", "data-title": title });
  container.append(box);
  const filtering = (narrows.pool && siteFilter.pool !== "") || (narrows.words && filterWords());
  part(box, title, rows, filtering ? "Nothing here matches the filter." : empty, () => build(rows));
  if (!narrows.pool && siteFilter.pool !== "")
    box.append(el("p", { class: "missing", text: "Filtered by call site only: the report does not relate these call sites to pools." }));
  if (!narrows.words && filterWords())
    box.append(el("p", { class: "missing", text: "Filtered by pool only: these rows name no call site." }));
  return box;
}

function renderSiteFilter(section, trace, names) {
  const pools = (trace.pools || []).filter((pool) => pool.allocations && pool.id !== undefined);
  const select = el("select", { id: "filter-pool", onchange: () => changeFilter({ pool: select.value }) },
                    el("option", { value: "", text: "every pool" }),
                    ...pools.map((pool) => el("option", { value: String(pool.id), text: names(pool.id) })));
  const words = el("input", { id: "filter-words", type: "search", placeholder: "function name",
                              oninput: () => changeFilter({ words: words.value }) });
  section.querySelector(".controls").append(el("label", {}, "pool ", select), el("label", {}, "call site ", words));
}
