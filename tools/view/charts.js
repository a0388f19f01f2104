// The page's two kinds of chart, both on a canvas: series over time (stacked areas plus lines,
// with a hover readout) and a histogram over log-scaled sizes. They draw from typed arrays that
// the sections fill from the trace's compact rows; cost is linear in points, no per-point DOM.
"use strict";

const MARGIN = { left: 74, right: 14, top: 10, bottom: 28 };

function timeScale(times, width) {
  const first = times[0], last = Math.max(times[times.length - 1], first + 1);
  const span = width - MARGIN.left - MARGIN.right;
  return { first, last, x: (t) => MARGIN.left + ((t - first) / (last - first)) * span };
}

function valueScale(max, height, ticks) {
  const top = Math.max(ticks[ticks.length - 1], max, 1);
  const span = height - MARGIN.top - MARGIN.bottom;
  return { top, y: (v) => MARGIN.top + span - (v / top) * span };
}

function drawAxes(chart, scaleX, scaleY, yTicks, format) {
  const { context, width, height } = chart;
  context.strokeStyle = "#e3e7eb";
  context.fillStyle = "#55606d";
  context.lineWidth = 1;
  context.textAlign = "right";
  context.textBaseline = "middle";
  for (const tick of yTicks) {
    const y = Math.round(scaleY.y(tick)) + 0.5;
    context.beginPath(); context.moveTo(MARGIN.left, y); context.lineTo(width - MARGIN.right, y);
    context.stroke();
    context.fillText(format(tick), MARGIN.left - 6, y);
  }
  context.textAlign = "center";
  context.textBaseline = "top";
  // Ticks at round times since the tracer started, within the samples' span.
  const ticks = niceTicks((scaleX.last - scaleX.first) / 1000, 8);
  const stepMs = ticks[1] || 1;
  for (let ms = Math.ceil(scaleX.first / 1000 / stepMs) * stepMs; ms * 1000 <= scaleX.last; ms += stepMs)
    context.fillText(formatMs(ms * 1000), scaleX.x(ms * 1000), height - MARGIN.bottom + 6);
}

// Cumulative tops of the stacked series: tops[k][i] = sum of values[0..k][i].
function stackTops(stacked, count) {
  const tops = [];
  let below = new Float64Array(count);
  for (const series of stacked) {
    const top = new Float64Array(count);
    for (let i = 0; i < count; i++) top[i] = below[i] + series.values[i];
    tops.push(top);
    below = top;
  }
  return tops;
}

function fillBand(context, times, scaleX, scaleY, lower, upper) {
  context.beginPath();
  context.moveTo(scaleX.x(times[0]), scaleY.y(upper[0]));
  for (let i = 1; i < times.length; i++) context.lineTo(scaleX.x(times[i]), scaleY.y(upper[i]));
  for (let i = times.length - 1; i >= 0; i--)
    context.lineTo(scaleX.x(times[i]), scaleY.y(lower ? lower[i] : 0));
  context.closePath();
  context.fill();
}

function strokeSeries(context, times, scaleX, scaleY, series) {
  context.strokeStyle = series.colour;
  context.lineWidth = series.width || 1.5;
  context.setLineDash(series.dash || []);
  context.beginPath();
  for (let i = 0; i < times.length; i++) {
    const x = scaleX.x(times[i]), y = scaleY.y(series.values[i]);
    if (i === 0) context.moveTo(x, y); else context.lineTo(x, y);
  }
  context.stroke();
  context.setLineDash([]);
}

function drawMarker(chart, scaleX, marker) {
  const { context, height } = chart;
  const x = Math.round(scaleX.x(marker.t)) + 0.5;
  context.strokeStyle = "#1d232b";
  context.setLineDash([4, 3]);
  context.beginPath(); context.moveTo(x, MARGIN.top); context.lineTo(x, height - MARGIN.bottom);
  context.stroke();
  context.setLineDash([]);
  context.fillStyle = "#1d232b";
  context.textAlign = x > chart.width - 80 ? "right" : "left";
  context.textBaseline = "top";
  context.fillText(marker.label, x + (context.textAlign === "left" ? 4 : -4), MARGIN.top + 2);
}

function nearestIndex(times, t) {
  const i = lowerBound(times, t);
  if (i === 0) return 0;
  if (i === times.length) return times.length - 1;
  return t - times[i - 1] <= times[i] - t ? i - 1 : i;
}

// The readout at sample i: the time, the stacked series largest first (at most 12), their
// total, then the lines.
function readout(plot, i) {
  const lines = ["at " + formatMs(plot.times[i])];
  const shown = plot.stacked.filter((s) => s.values[i] > 0)
                    .sort((a, b) => b.values[i] - a.values[i]);
  for (const series of shown.slice(0, 12))
    lines.push(series.name + ": " + plot.format(series.values[i]));
  if (shown.length > 12) lines.push("... and " + (shown.length - 12) + " more");
  if (plot.stacked.length > 1)
    lines.push(plot.totalName + ": " + plot.format(plot.stacked.reduce((sum, s) => sum + s.values[i], 0)));
  for (const series of plot.lines) lines.push(series.name + ": " + plot.format(series.values[i]));
  return lines;
}

function attachHover(container, chart, plot, scaleX) {
  const line = el("div", { class: "hover-line", hidden: "" });
  line.style.height = chart.height - MARGIN.bottom + "px";
  container.append(line);
  onPointer(chart.canvas, (x, y, event) => {
    const t = scaleX.first + ((x - MARGIN.left) / (chart.width - MARGIN.left - MARGIN.right)) *
                                 (scaleX.last - scaleX.first);
    const i = nearestIndex(plot.times, t);
    line.hidden = false;
    line.style.left = scaleX.x(plot.times[i]) + "px";
    showTip(readout(plot, i), event);
  });
  chart.canvas.addEventListener("mouseleave", () => { line.hidden = true; });
}

// plot: {times (microseconds, ascending), stacked: [{name, colour, values}], lines: [{name,
// colour, values, dash}], markers: [{t, label}], format, ticks(max), totalName, height}.
function drawTimeChart(container, plot) {
  const chart = makeCanvas(container, chartWidth(container), plot.height || 300);
  const count = plot.times.length;
  const tops = stackTops(plot.stacked, count);
  let max = tops.length ? Math.max(...tops[tops.length - 1]) : 0;
  for (const series of plot.lines) for (const v of series.values) max = Math.max(max, v);
  const ticks = plot.ticks(max);
  const scaleX = timeScale(plot.times, chart.width), scaleY = valueScale(max, chart.height, ticks);
  drawAxes(chart, scaleX, scaleY, ticks, plot.format);
  plot.stacked.forEach((series, k) => {
    chart.context.fillStyle = series.colour;
    fillBand(chart.context, plot.times, scaleX, scaleY, k ? tops[k - 1] : null, tops[k]);
  });
  for (const series of plot.lines) strokeSeries(chart.context, plot.times, scaleX, scaleY, series);
  for (const marker of plot.markers || []) drawMarker(chart, scaleX, marker);
  attachHover(container, chart, plot, scaleX);
  return chart;
}

function legend(container, entries) {
  for (const entry of entries)
    container.append(el("span", {}, el("span", { class: "swatch", style: "background:" + entry.colour }),
                        entry.name));
}

// buckets: [[smallest, largest, requests], ...]; range: {low, high} sizes shared by the
// histograms compared side by side. A bar spans its sizes on a log2 axis.
function drawHistogram(container, buckets, range, width, height) {
  const chart = makeCanvas(container, width, height);
  const { context } = chart;
  const lowLog = Math.log2(range.low), highLog = Math.log2(range.high + 1);
  const span = width - MARGIN.left - MARGIN.right;
  const x = (size) => MARGIN.left + ((Math.log2(size) - lowLog) / Math.max(highLog - lowLog, 1)) * span;
  const max = Math.max(...buckets.map((b) => b[2]));
  const ticks = niceTicks(max, 3);
  const scaleY = valueScale(max, height, ticks);
  context.strokeStyle = "#e3e7eb"; context.fillStyle = "#55606d";
  context.textAlign = "right"; context.textBaseline = "middle";
  for (const tick of ticks) {
    const y = Math.round(scaleY.y(tick)) + 0.5;
    context.beginPath(); context.moveTo(MARGIN.left, y); context.lineTo(width - MARGIN.right, y);
    context.stroke();
    context.fillText(formatCount(tick), MARGIN.left - 6, y);
  }
  context.textAlign = "center"; context.textBaseline = "top";
  const step = Math.max(1, Math.ceil((highLog - lowLog) / 8));
  for (let power = Math.ceil(lowLog); power <= highLog; power += step)
    context.fillText(formatBytes(Math.pow(2, power)).replace(".00", ""), x(Math.pow(2, power)), height - MARGIN.bottom + 6);
  context.fillStyle = "#3a6fb0";
  for (const [smallest, largest, requests] of buckets) {
    const left = x(smallest), right = Math.max(x(largest + 1) - 1, left + 1.5);
    context.fillRect(left, scaleY.y(requests), right - left, scaleY.y(0) - scaleY.y(requests));
  }
  onPointer(chart.canvas, (px, py, event) => {
    const hit = buckets.find((b) => px >= x(b[0]) - 1 && px <= x(b[1] + 1));
    if (hit) showTip([formatCount(hit[0]) + " to " + formatCount(hit[1]) + " bytes: " + formatCount(hit[2]) + " requests"], event);
    else hideTip();
  });
  return chart;
}
