// The gallery page: one HTML file with its style, script and data inline, so that it opens
// from a copied folder with no network. The data is one JSON array of short arrays; the
// script lays out rows of tiles and puts into the page only those near the window, so that a
// hundred thousand files open as fast as a hundred.
#include <cstdio>
#include <string>

#include "gallery/Gallery.h"

namespace salvor {

namespace {

// Inside the page's <script> element: JSON with "<" escaped, so no text can close it.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || c == '<' || c == '>' || c == '&') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string HtmlText(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '&')
      out += "&amp;";
    else if (c == '"')
      out += "&quot;";
    else
      out += c;
  }
  return out;
}

const char kPage[] = R"PAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>@TITLE@</title>
<style>
body{margin:0;font:14px system-ui,sans-serif;background:#f2f2f2;color:#222}
header{position:sticky;top:0;z-index:2;background:#fff;border-bottom:1px solid #ccc;padding:8px 12px;
display:flex;flex-wrap:wrap;gap:12px;align-items:center}
header h1{font-size:16px;margin:0 8px 0 0}
#count{margin-left:auto;color:#555}
#view{position:relative;margin:0 12px}
.day{position:absolute;left:0;right:0;height:36px;line-height:44px;font-weight:600}
.tile{position:absolute;width:200px;height:252px;background:#fff;border:1px solid #ddd;
border-radius:4px;overflow:hidden;text-decoration:none;color:inherit}
.tile:hover{border-color:#36c}
.tile.broken{border-color:#d66}
.pic{width:200px;height:180px;display:flex;align-items:center;justify-content:center;background:#e8e8e8}
.pic img{max-width:200px;max-height:180px}
.pic b{font-size:28px;color:#999;text-transform:uppercase}
.meta{padding:3px 6px;font-size:12px;line-height:16px}
.meta div{white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
.state{color:#fff;background:#393;border-radius:3px;padding:0 4px;font-size:11px;float:right}
.broken .state{background:#c33}
#empty{padding:40px;text-align:center;color:#777}
</style></head><body>
<header><h1>@TITLE@</h1>
<label>Type <select id="type"><option value="">all</option></select></label>
<label>State <select id="state"><option value="">all</option><option value="intact">intact</option>
<option value="broken">broken</option></select></label>
<label>Size at least <select id="min"><option value="0">any</option><option value="10000">10 kB</option>
<option value="100000">100 kB</option><option value="1000000">1 MB</option>
<option value="10000000">10 MB</option></select></label>
<label>Resolution at least <select id="res"><option value="0">any</option>
<option value="76800">320&times;240</option><option value="1000000">1 MP</option>
<option value="4000000">4 MP</option><option value="12000000">12 MP</option></select></label>
<label>Sort by <select id="sort"><option value="date">date</option><option value="size">size</option>
<option value="name">name</option><option value="type">type</option></select></label>
<span id="count"></span></header>
<div id="view"></div><div id="empty" hidden>No file matches.</div>
<div id="status" hidden></div>
<script id="data" type="application/json">@DATA@</script>
<script>
"use strict";
// Each file: [path, type, size, date, original path, damaged, thumbnail, width, height].
const FILES = JSON.parse(document.getElementById("data").textContent);
const TILE_W = 202, TILE_H = 254, GAP = 10, DAY_H = 36, MARGIN = 600;
const $ = id => document.getElementById(id);
const view = $("view"), controls = ["type", "state", "min", "res", "sort"];
const types = [...new Set(FILES.map(f => f[1]))].sort();
for (const t of types) $("type").add(new Option(t, t));

// The filters live in the address (#broken, #type=jpg&min=100000&sort=size) so that a link
// or a test can open the page filtered.
function readHash() {
  const values = {type: "", state: "", min: "0", res: "0", sort: "date"};
  for (const part of decodeURIComponent(location.hash.slice(1)).split("&")) {
    if (part === "broken" || part === "intact") values.state = part;
    const [key, value] = part.split("=");
    if (key in values && value !== undefined) values[key] = value;
  }
  for (const c of controls) {
    const select = $(c);
    if (![...select.options].some(o => o.value === values[c])) select.add(new Option(values[c], values[c]));
    select.value = values[c];
  }
}
function writeHash() {
  const parts = [];
  for (const c of controls) {
    const v = $(c).value;
    if (v && v !== "0" && !(c === "sort" && v === "date")) parts.push(c + "=" + v);
  }
  history.replaceState(null, "", "#" + parts.join("&"));
  build();
}

const label = f => (f[4] || f[0]).split("/").pop();
function sizeText(n) {
  if (n < 1000) return n + " B";
  const units = ["kB", "MB", "GB", "TB"];
  let i = -1;
  do { n /= 1000; ++i; } while (n >= 1000 && i < units.length - 1);
  return n.toFixed(n < 10 ? 1 : 0) + " " + units[i];
}

let rows = [];  // {top, height, day} or {top, height, files}
let shown = [];
function build() {
  const type = $("type").value, state = $("state").value;
  const min = Number($("min").value) || 0, res = Number($("res").value) || 0, sort = $("sort").value;
  shown = FILES.filter(f => (!type || f[1] === type) && (!state || (state === "broken") === !!f[5]) &&
    f[2] >= min && (!res || f[7] * f[8] >= res));
  const key = {
    date: f => (f[3] || "~"), size: f => -f[2], name: f => label(f).toLowerCase(), type: f => f[1]}[sort] ||
    (f => f[3] || "~");
  shown.sort((a, b) => { const x = key(a), y = key(b); return x < y ? -1 : x > y ? 1 : a[0] < b[0] ? -1 : 1; });
  columns = columnsNow();
  rows = [];
  let top = 0;
  const addTiles = list => {
    for (let i = 0; i < list.length; i += columns) {
      rows.push({top, height: TILE_H + GAP, files: list.slice(i, i + columns)});
      top += TILE_H + GAP;
    }
  };
  if (sort === "date") {
    let start = 0;
    for (let i = 1; i <= shown.length; ++i) {
      const day = f => (f[3] || "").slice(0, 7);
      if (i === shown.length || day(shown[i]) !== day(shown[start])) {
        const d = day(shown[start]);
        const month = d ? new Date(d + "-01T00:00:00").toLocaleDateString("en", {year: "numeric", month: "long"}) : "";
        rows.push({top, height: DAY_H, day: (month || "Date unknown") + " \u2014 " + (i - start) + (i - start === 1 ? " file" : " files")});
        top += DAY_H;
        addTiles(shown.slice(start, i));
        start = i;
      }
    }
  } else {
    addTiles(shown);
  }
  view.style.height = top + "px";
  view.textContent = "";
  placed.clear();
  $("empty").hidden = shown.length > 0;
  $("count").textContent = shown.length + " of " + FILES.length + " files";
  render();
}

function tile(f) {
  const a = document.createElement("a");
  a.className = "tile" + (f[5] ? " broken" : "");
  a.href = f[0].split("/").map(encodeURIComponent).join("/");
  a.title = (f[4] ? f[4] + "\n" : "") + f[0];
  const pic = document.createElement("div");
  pic.className = "pic";
  if (f[6]) {
    const img = document.createElement("img");
    img.alt = label(f);
    img.addEventListener("load", status);
    img.addEventListener("error", status);
    img.src = f[6];
    pic.append(img);
  } else {
    const b = document.createElement("b");
    b.textContent = f[1];
    pic.append(b);
  }
  const meta = document.createElement("div");
  meta.className = "meta";
  const line = text => { const d = document.createElement("div"); d.textContent = text; meta.append(d); return d; };
  line(label(f));
  line(f[1].toUpperCase() + " \u00b7 " + sizeText(f[2]) + (f[7] ? " \u00b7 " + f[7] + "\u00d7" + f[8] : ""));
  const last = line((f[3] || "").replace("T", " ").replace("Z", " UTC"));
  const badge = document.createElement("span");
  badge.className = "state";
  badge.textContent = f[5] ? "broken" : "intact";
  last.prepend(badge);
  a.append(pic, meta);
  return a;
}

// Only the rows near the window are in the page; the rest are a height.
const placed = new Map();
function render() {
  const from = window.scrollY - view.offsetTop - MARGIN, to = from + window.innerHeight + 2 * MARGIN;
  let lo = 0, hi = rows.length;
  while (lo < hi) { const mid = (lo + hi) >> 1; if (rows[mid].top + rows[mid].height < from) lo = mid + 1; else hi = mid; }
  const wanted = new Set();
  for (let i = lo; i < rows.length && rows[i].top <= to; ++i) wanted.add(i);
  for (const [i, nodes] of placed) if (!wanted.has(i)) { nodes.forEach(n => n.remove()); placed.delete(i); }
  for (const i of wanted) {
    if (placed.has(i)) continue;
    const row = rows[i], nodes = [];
    if (row.day) {
      const d = document.createElement("div");
      d.className = "day";
      d.style.top = row.top + "px";
      d.textContent = row.day;
      nodes.push(d);
    } else {
      row.files.forEach((f, k) => {
        const t = tile(f);
        t.style.top = row.top + "px";
        t.style.left = k * (TILE_W + GAP) + "px";
        nodes.push(t);
      });
    }
    view.append(...nodes);
    placed.set(i, nodes);
  }
  status();
}

// What the page shows, for people and for the tests: files that pass the filters, tiles in
// the page, and how many of their thumbnails loaded or failed.
function status() {
  const imgs = view.querySelectorAll("img");
  let loaded = 0, failed = 0;
  for (const img of imgs) if (img.complete) img.naturalWidth > 0 ? ++loaded : ++failed;
  const s = $("status").dataset;
  s.shown = shown.length;
  s.tiles = view.querySelectorAll(".tile").length;
  s.thumbnails = imgs.length;
  s.loaded = loaded;
  s.failed = failed;
  s.broken = shown.filter(f => f[5]).length;
  if (!s.ready) s.ready = Math.round(performance.now());  // ms from the page's start to its tiles
}

let pending = false;
const later = () => { if (!pending) { pending = true; requestAnimationFrame(() => { pending = false; render(); }); } };
window.addEventListener("scroll", later, {passive: true});
// A new width lays the tiles out again only when it changes how many fit in a row.
const columnsNow = () => Math.max(1, Math.floor((view.clientWidth + GAP) / (TILE_W + GAP)));
let columns = 0;
window.addEventListener("resize", () => columnsNow() !== columns ? build() : later());
window.addEventListener("hashchange", () => { readHash(); build(); });
for (const c of controls) $(c).addEventListener("change", writeHash);
readHash();
build();
</script></body></html>
)PAGE";

void Replace(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

}  // namespace

bool WriteGalleryPage(const std::string& path, const std::vector<GalleryItem>& items,
                      const std::string& title, std::string& error) {
  std::string data = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    const GalleryItem& f = items[i];
    if (i > 0) data += ",\n";
    data += "[" + JsonString(f.filename) + "," + JsonString(f.type) + "," + std::to_string(f.size) +
            "," + JsonString(f.date) + "," + JsonString(f.originalPath) + "," +
            (f.damaged ? "1" : "0") + "," + JsonString(f.thumbnail) + "," +
            std::to_string(f.width) + "," + std::to_string(f.height) + "]";
  }
  data += "]";
  std::string page = kPage;
  // The data last: nothing in it is taken for a placeholder.
  Replace(page, "@TITLE@", HtmlText(title));
  Replace(page, "@DATA@", data);
  const std::string partial = path + ".part";
  FILE* out = std::fopen(partial.c_str(), "wb");
  bool ok = out != nullptr && std::fwrite(page.data(), 1, page.size(), out) == page.size();
  if (out != nullptr && std::fclose(out) != 0) ok = false;
  if (ok && std::rename(partial.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    std::remove(partial.c_str());
    error = "cannot write the gallery '" + path + "'";
  }
  return ok;
}

}  // namespace salvor
