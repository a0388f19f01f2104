// Helpers shared by every section of the report page: DOM building, units, colours, canvases
// sized for the screen's pixel ratio, and the one tooltip. Nothing here knows the trace format.
"use strict";

function el(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) {
    if (name === "text") node.textContent = value;
    else if (name.startsWith("on")) node.addEventListener(name.slice(2), value);
    else node.setAttribute(name, value);
  }
  for (const child of children) if (child != null) node.append(child);
  return node;
}

const BYTE_UNITS = ["B", "KiB", "MiB", "GiB", "TiB"];

// The power of 1024 that keeps |value| between 1 and 1023 in its unit.
function byteUnitIndex(value) {
  let index = 0;
  while (Math.abs(value) >= 1024 && index < BYTE_UNITS.length - 1) { value /= 1024; index++; }
  return index;
}

function formatBytes(value) {
  const index = byteUnitIndex(value);
  const scaled = value / Math.pow(1024, index);
  const digits = index === 0 || Math.abs(scaled) >= 100 ? 0 : Math.abs(scaled) >= 10 ? 1 : 2;
  return scaled.toFixed(digits) + " " + BYTE_UNITS[index];
}

function formatCount(value) { return Number(value).toLocaleString("en-US"); }

function percent(share) { return (100 * share).toFixed(share < 0.1 ? 2 : 1) + " %"; }

function formatMs(microseconds) {
  const ms = microseconds / 1000;
  return (ms >= 100 ? formatCount(Math.round(ms)) : ms >= 1 ? ms.toFixed(1) : ms.toFixed(3)) + " ms";
}

// About `count` round tick values from 0 to max: steps of 1, 2 or 5 times a power of ten, in
// units of `unit` (1024^k for bytes, so that ticks read 256 MiB rather than 268435456).
function niceTicks(max, count, unit = 1) {
  if (!(max > 0)) return [0];
  const raw = max / unit / count;
  const power = Math.pow(10, Math.floor(Math.log10(raw)));
  const step = [1, 2, 5, 10].map((m) => m * power).find((s) => s >= raw) * unit;
  const ticks = [];
  for (let value = 0; value <= max * 1.0001; value += step) ticks.push(value);
  return ticks;
}

function byteTicks(max) { return niceTicks(max, 5, Math.pow(1024, byteUnitIndex(max / 2))); }

// Distinct colours for any number of series: a fixed set first, then spread around the wheel.
const PALETTE = ["#3a6fb0", "#e08a2c", "#3c9a5f", "#c8494b", "#8462b5", "#8c6a4f", "#d66fb1",
                 "#6f7c8a", "#b6b538", "#2fa9b8"];
function colour(index) {
  if (index < PALETTE.length) return PALETTE[index];
  return "hsl(" + ((index * 137.5) % 360).toFixed(0) + ", 55%, " + (42 + (index % 3) * 10) + "%)";
}

// The first index whose value is >= x in an ascending array (its length when none is).
function lowerBound(values, x) {
  let low = 0, high = values.length;
  while (low < high) {
    const middle = (low + high) >> 1;
    if (values[middle] < x) low = middle + 1; else high = middle;
  }
  return low;
}

// A canvas of width x height CSS pixels, sharp on high-density screens; draws in CSS pixels.
function makeCanvas(parent, width, height) {
  const canvas = el("canvas");
  const ratio = window.devicePixelRatio || 1;
  canvas.width = Math.round(width * ratio);
  canvas.height = Math.round(height * ratio);
  canvas.style.width = width + "px";
  canvas.style.height = height + "px";
  parent.append(canvas);
  const context = canvas.getContext("2d");
  context.scale(ratio, ratio);
  context.font = "11px system-ui, sans-serif";
  return { canvas, context, width, height };
}

// Shows `lines` (plain text, never markup: pool names come from the traced program) near the
// pointer; hideTip on leaving.
function showTip(lines, event) {
  const tip = document.getElementById("tooltip");
  tip.textContent = lines.join("\n");
  tip.hidden = false;
  const x = Math.min(event.pageX + 14, window.scrollX + window.innerWidth - tip.offsetWidth - 8);
  tip.style.left = Math.max(0, x) + "px";
  tip.style.top = event.pageY + 14 + "px";
}

function hideTip() { document.getElementById("tooltip").hidden = true; }

// Calls handler(x, y, event) with the pointer's position in the canvas's CSS pixels.
function onPointer(canvas, handler) {
  canvas.addEventListener("mousemove", (event) => {
    const box = canvas.getBoundingClientRect();
    handler(event.clientX - box.left, event.clientY - box.top, event);
  });
  canvas.addEventListener("mouseleave", hideTip);
}

function missing(container, text) { container.append(el("p", { class: "missing", text })); }

// The width left for a chart inside `container`, which is as wide as the page's column.
function chartWidth(container) { return Math.max(320, Math.floor(container.clientWidth)); }
