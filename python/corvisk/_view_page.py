"""The live view's page (served by corvisk.view): one HTML document with its style and script.

The script polls three endpoints: /frame.png (long-polled: each answer is a frame newer than
the last one shown), /state.json twice a second (rates, counters, histogram) and
/features.json after every write (values and limits change with each other). What it has
shown is kept in ``window.corviskView`` for scripts driving the page.
"""

PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>corvisk live view</title>
<style>
  html, body { margin: 0; height: 100%; background: #1e1e1e; color: #ddd;
               font: 13px/1.4 system-ui, sans-serif; }
  body { display: flex; }
  #view { flex: 1; min-width: 0; display: flex; align-items: center; justify-content: center;
          background: #000; }
  #live { max-width: 100%; max-height: 100vh; width: 100%; height: 100vh;
          object-fit: contain; image-rendering: pixelated; }
  #side { width: 330px; overflow-y: auto; padding: 8px 12px; box-sizing: border-box; }
  h1 { font-size: 15px; margin: 4px 0 8px; }
  h2 { font-size: 13px; margin: 12px 0 4px; color: #9cf; }
  table { border-collapse: collapse; width: 100%; }
  td { padding: 1px 4px; vertical-align: middle; }
  td.v { text-align: right; font-variant-numeric: tabular-nums; }
  #hist { width: 100%; height: 110px; background: #111; display: block; }
  #controls input[type=number], #controls select, #controls input[type=text] { width: 130px; }
  .unit { color: #999; }
  #message { min-height: 1.4em; margin-top: 6px; word-break: break-word; }
  #message.error, #error { color: #f88; }
  #message.ok { color: #8d8; }
</style>
</head>
<body>
<div id="view"><img id="live" alt="live image"></div>
<div id="side">
  <h1 id="device">corvisk</h1>
  <table>
    <tr><td>frames/s</td><td class="v" id="fps">-</td></tr>
    <tr><td>MB/s</td><td class="v" id="mbps">-</td></tr>
    <tr><td>frame</td><td class="v" id="frame">-</td></tr>
    <tr><td>shown</td><td class="v" id="shown">0</td></tr>
  </table>
  <div id="error"></div>
  <h2>Histogram</h2>
  <canvas id="hist" width="256" height="110"></canvas>
  <h2>Controls</h2>
  <table id="controls"></table>
  <div id="message"></div>
  <h2>Stream counters</h2>
  <table id="counters"></table>
</div>
<script>
"use strict";
const view = window.corviskView = {frameIds: [], shown: 0, writes: 0, lastError: ""};
const $ = (id) => document.getElementById(id);
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

async function frames() {
  let seq = 0, shownUrl = null;
  for (;;) {
    try {
      const shown = Math.ceil($("view").clientWidth * (window.devicePixelRatio || 1));
      const r = await fetch("/frame.png?after=" + seq + "&width=" + Math.max(16, shown),
                            {cache: "no-store"});
      if (r.status !== 200) { await sleep(r.status === 204 ? 0 : 500); continue; }
      seq = Number(r.headers.get("X-Frame-Seq"));
      const id = Number(r.headers.get("X-Frame-Id"));
      const url = URL.createObjectURL(await r.blob());
      await new Promise((done) => { $("live").onload = $("live").onerror = done;
                                    $("live").src = url; });
      if (shownUrl) URL.revokeObjectURL(shownUrl);
      shownUrl = url;
      view.shown += 1;
      if (view.frameIds[view.frameIds.length - 1] !== id) view.frameIds.push(id);
      if (view.frameIds.length > 100) view.frameIds.shift();
      $("shown").textContent = view.shown;
    } catch (e) {
      await sleep(1000);  // the server went away or is restarting the stream
    }
  }
}

function drawHistogram(h) {
  const c = $("hist"), g = c.getContext("2d");
  g.clearRect(0, 0, c.width, c.height);
  const colours = {grey: "#ddd", red: "#f55", green: "#5d5", blue: "#58f"};
  let top = 1;
  for (const bins of h.bins) for (const n of bins) top = Math.max(top, n);
  g.globalCompositeOperation = "lighter";
  h.bins.forEach((bins, i) => {
    g.fillStyle = colours[h.channels[i]] || "#ddd";
    bins.forEach((n, x) => {
      const y = Math.round(c.height * Math.sqrt(n / top));  // sqrt: small counts stay visible
      g.fillRect(x, c.height - y, 1, y);
    });
  });
  g.globalCompositeOperation = "source-over";
}

async function state() {
  for (;;) {
    try {
      const s = await (await fetch("/state.json", {cache: "no-store"})).json();
      view.state = s;
      $("device").textContent = s.device.manufacturer + " " + s.device.model + " (" +
                                s.device.ip + ")";
      $("fps").textContent = s.fps.toFixed(1);
      $("mbps").textContent = s.mbps.toFixed(2);
      const f = s.frame;
      $("frame").textContent = f ? "#" + f.frame_id + " " + f.width + "\\u00d7" + f.height + " " +
                                   f.pixel_format + " " + f.status : "-";
      $("error").textContent = s.error || (f && f.error) || "";
      drawHistogram(s.histogram);
      const rows = [["frames", s.frames], ["incomplete", s.incomplete],
                    ["restarts", s.restarts]];
      for (const [k, v] of Object.entries(s.stats || {})) rows.push([k.replace(/_/g, " "), v]);
      $("counters").innerHTML = "";
      for (const [k, v] of rows) {
        const tr = $("counters").insertRow();
        tr.insertCell().textContent = k;
        const td = tr.insertCell(); td.className = "v"; td.textContent = v;
      }
    } catch (e) { /* shown again on the next poll */ }
    await sleep(500);
  }
}

function say(text, ok) {
  $("message").textContent = text;
  $("message").className = ok ? "ok" : "error";
  if (!ok) view.lastError = text;
}

async function write(name, value) {
  const body = value === undefined ? {name} : {name, value};
  try {
    const r = await fetch("/features", {method: "POST", body: JSON.stringify(body),
                                        headers: {"Content-Type": "application/json"}});
    const answer = await r.json();
    if (r.ok) say(value === undefined ? "executed " + name : name + " = " +
                  answer.feature.value, true);
    else say(answer.error, false);
  } catch (e) { say("the server did not answer: " + e, false); }
  view.writes += 1;
  await controls();
}

function input(c) {
  let el;
  if (c.type === "Command") {
    el = document.createElement("button");
    el.textContent = "Execute";
    el.onclick = () => write(c.name);
  } else if (c.type === "Enumeration") {
    el = document.createElement("select");
    const entries = c.entries.slice();
    if (c.value !== null && !entries.includes(c.value)) entries.unshift(c.value);  // shown
    for (const e of entries) el.add(new Option(e, e, false, e === c.value));
    el.onchange = () => write(c.name, el.value);
  } else if (c.type === "Boolean") {
    el = document.createElement("input");
    el.type = "checkbox";
    el.checked = !!c.value;
    el.onchange = () => write(c.name, el.checked);
  } else if (c.type === "String") {
    el = document.createElement("input");
    el.type = "text";
    el.value = c.value === null ? "" : c.value;
    el.onchange = () => write(c.name, el.value);
  } else {
    el = document.createElement("input");
    el.type = "number";
    if (c.min !== null) el.min = c.min;
    if (c.max !== null) el.max = c.max;
    el.step = c.type === "Integer" ? (c.inc || 1) : "any";
    el.value = c.value === null ? "" : c.value;
    el.onchange = () => write(c.name, c.type === "Integer" ? parseInt(el.value, 10)
                                                           : parseFloat(el.value));
  }
  el.id = "f-" + c.name;
  el.disabled = !c.writable;
  el.title = c.tooltip || "";
  return el;
}

async function controls() {
  try {
    const answer = await (await fetch("/features.json", {cache: "no-store"})).json();
    const table = $("controls");
    table.innerHTML = "";
    for (const c of answer.features) {
      const tr = table.insertRow();
      tr.insertCell().textContent = c.label;
      const cell = tr.insertCell();
      cell.appendChild(input(c));
      if (c.unit) cell.append(" ", Object.assign(document.createElement("span"),
                                                  {className: "unit", textContent: c.unit}));
      if (c.type === "Integer" || c.type === "Float")
        tr.title = "min " + c.min + ", max " + c.max + (c.inc ? ", step " + c.inc : "");
    }
    view.controls = answer.features.map((c) => c.name);
  } catch (e) { say("could not read the controls: " + e, false); }
}

controls();
frames();
state();
</script>
</body>
</html>
"""
