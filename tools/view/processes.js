// The run's index page: its processes, largest first (as qor-trace listed them), each linked to
// its own page. body[data-rendered] = "ok" once drawn, body[data-error] on a failure.
"use strict";

window.onerror = (message) => { document.body.dataset.error = String(message); };

function processRow(entry) {
  return [el("a", { href: entry.link, text: String(entry.pid) }), entry.parentPid == null ? "" : String(entry.parentPid), entry.command,
          formatBytes(entry.peakHeldBytes), formatCount(entry.allocations)];
}

function renderIndex() {
  const run = JSON.parse(document.getElementById("page-data").textContent);
  const processes = run.processes || [];
  const status = run.status == null ? "" : ", exit status " + run.status;
  document.getElementById("content").append(
    el("p", { class: "how", text: formatCount(processes.length) + " processes" + status + "; a pid opens its page." }),
    makeTable(["pid", "parent", "command", "peak held", "allocations"], processes.map(processRow), { numeric: [0, 1, 3, 4] }));
  document.body.dataset.rendered = "ok";
}

renderIndex();
