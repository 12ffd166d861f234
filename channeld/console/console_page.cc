#include "channeld/console/console_page.h"

namespace kestrel {
namespace channeld {

namespace {

// Every string that the service sends (a channel's key, a notification's
// text) is shown through textContent only, never parsed as markup: a
// notification is whatever its supplier wrote. The policy below repeats
// the endpoint's header, so that a copy of the page saved to disk stays
// as shut as the served one.
//
// The document is cut in three literals (head and style, body, script) to
// keep each well under the size that some compilers refuse in one.
constexpr char kPage[] = R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="referrer" content="no-referrer">
<title>kestrel-channeld console</title>
<link rel="icon" href="data:,">
<style>
:root{--fg:#1f2328;--muted:#59636e;--line:#d8dee4;--bg:#f4f6f8;--card:#fff;--recv:#1f6feb;--dlvr:#1a7f37;--disc:#cf222e;
font:14px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;color:var(--fg);background:var(--bg)}
*{box-sizing:border-box}
body{margin:0}
header{display:flex;flex-wrap:wrap;align-items:baseline;gap:.25rem 1.5rem;padding:.6rem 1rem;background:var(--card);border-bottom:1px solid var(--line)}
h1{font-size:1.1rem;margin:0}
h2{font-size:.95rem;margin:0 0 .5rem}
h3{font-size:.9rem;margin:0;overflow-wrap:anywhere}
.figures{display:flex;flex-wrap:wrap;gap:.2rem 1rem;margin:0;color:var(--muted)}
.figures b{color:var(--fg);font-weight:600}
.link::before{content:"";display:inline-block;width:.55rem;height:.55rem;border-radius:50%;margin-right:.35rem;background:#9aa4ae}
.link.up::before{background:var(--dlvr)}
.link.down{color:var(--disc)}
.link.down::before{background:var(--disc)}
main{display:grid;grid-template-columns:24rem minmax(0,1fr);gap:1rem;padding:1rem;align-items:start}
.side{display:grid;gap:1rem;min-width:0}
.panel{background:var(--card);border:1px solid var(--line);border-radius:6px;padding:.75rem;min-width:0}
.muted{color:var(--muted)}
.channel{border-top:1px solid var(--line);padding:.6rem 0 .2rem}
.channel:first-of-type{border-top:0;padding-top:0}
.series{display:grid;grid-template-columns:minmax(0,1fr) auto auto;gap:0 .8rem;margin:.3rem 0;font-variant-numeric:tabular-nums}
.series>span:nth-child(3n+2),.series>span:nth-child(3n){text-align:right}
.swatch{display:inline-block;width:.7rem;height:.2rem;vertical-align:middle;border-radius:1px}
canvas{display:block;width:100%;height:64px;background:#fafbfc;border:1px solid #eaeef2;border-radius:3px}
.scroll{overflow-x:auto}
table{border-collapse:collapse;width:100%;font-size:13px;font-variant-numeric:tabular-nums}
th,td{text-align:left;padding:.2rem .3rem;border-bottom:1px solid #eaeef2;white-space:nowrap}
td.proxy{max-width:10rem;overflow:hidden;text-overflow:ellipsis}
td.proxy small{display:block;font-size:11px;color:var(--muted);overflow:hidden;text-overflow:ellipsis}
th{font-weight:600;font-size:12px;color:var(--muted)}
td.n,th.n{text-align:right}
dl{display:grid;grid-template-columns:auto minmax(0,1fr);gap:.15rem .8rem;margin:0}
dt{color:var(--muted)}
dd{margin:0;overflow-wrap:anywhere}
form{display:flex;flex-wrap:wrap;gap:.4rem;align-items:center}
form label{font-weight:600}
#filter{flex:1 1 16rem;min-width:0;font:13px/1.4 ui-monospace,SFMono-Regular,Menlo,Consolas,monospace;padding:.3rem .45rem;border:1px solid #afb8c1;border-radius:4px}
button{font:inherit;padding:.25rem .7rem;border:1px solid #afb8c1;border-radius:4px;background:#f6f8fa;cursor:pointer}
button:hover{background:#eef1f4}
button[aria-pressed=true]{background:#fff8c5;border-color:#d4a72c}
.problem{margin:.5rem 0 0;padding:.5rem .6rem;border:1px solid #ffcecb;background:#ffebe9;border-radius:4px}
.problem p{margin:0 0 .3rem;color:#82071e;overflow-wrap:anywhere}
.problem pre{margin:0;font:13px/1.35 ui-monospace,SFMono-Regular,Menlo,Consolas,monospace;overflow-x:auto}
.problem mark{background:#ff8182;color:inherit}
.bar{display:flex;flex-wrap:wrap;gap:.3rem 1rem;align-items:center;margin:.6rem 0}
.watching{overflow-wrap:anywhere}
.watching code{font:12px ui-monospace,SFMono-Regular,Menlo,Consolas,monospace;background:#eff2f5;padding:0 .25rem;border-radius:3px}
.stream-open{color:var(--dlvr)}
.stream-failed{color:var(--disc)}
.row{display:grid;grid-template-columns:6.6rem 8rem 6.5rem 6.5rem 5.2rem 6.2rem minmax(0,1fr);gap:0 .6rem;padding:.28rem .3rem;border-bottom:1px solid #eaeef2;align-items:baseline}
.row>span{min-width:0;overflow:hidden;text-overflow:ellipsis;white-space:nowrap}
.one-channel .row{grid-template-columns:6.6rem 7rem 7rem 5.2rem 6.2rem minmax(0,1fr)}
.one-channel .c-chan{display:none}
.row.head,.row.head>span{font:600 14px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;color:var(--muted);border-bottom-color:var(--line)}
.row .c-time,.row .c-code{font:12px ui-monospace,SFMono-Regular,Menlo,Consolas,monospace}
.row .c-desc{white-space:pre-wrap;overflow-wrap:anywhere}
.row.note{display:block;color:var(--muted);font-style:italic;background:#f6f8fa;overflow-wrap:anywhere}
.sev{display:inline-block;padding:0 .4rem;border-radius:9px;font-size:12px;font-weight:600;line-height:1.5}
.sev0{background:#eaeef2;color:#57606a}.sev1{background:#ddf4ff;color:#0550ae}.sev2{background:#dafbe1;color:#116329}
.sev3{background:#fff8c5;color:#7d4e00}.sev4{background:#ffe2cc;color:#953800}.sev5{background:#ffd8d3;color:#a40e26}
.sev6{background:#82071e;color:#fff}
#empty{margin:.6rem .3rem}
@media (max-width:1000px){main{grid-template-columns:minmax(0,1fr)}}
@media (max-width:640px){
main{padding:.5rem;gap:.5rem}
header{padding:.5rem}
.row,.one-channel .row{grid-template-columns:repeat(3,minmax(0,1fr));grid-template-areas:"time sev code" "host mod chan" "desc desc desc";gap:.1rem .5rem;padding:.4rem .2rem}
.row.head{display:none}
.c-time{grid-area:time}.c-chan{grid-area:chan}.c-host{grid-area:host}.c-mod{grid-area:mod}
.c-sev{grid-area:sev}.c-code{grid-area:code;text-align:right}.c-desc{grid-area:desc}
}
</style>
</head>
)page"
                         R"page(<body>
<header>
<h1>kestrel-channeld console</h1>
<p class="figures">
<span>version <b id="version">–</b></span>
<span>up <b id="uptime">–</b></span>
<span id="clustered" hidden><b>clustered</b></span>
<span>viewers <b id="viewers">–</b></span>
<span id="link" class="link">connecting…</span>
</p>
</header>
<main>
<div class="side">
<section class="panel" aria-labelledby="h-channels">
<h2 id="h-channels">Channels <span class="muted">(last 5 minutes, per second)</span></h2>
<div id="channels"><p class="muted">waiting for the service…</p></div>
</section>
<section class="panel" aria-labelledby="h-proxies">
<h2 id="h-proxies">Busiest consumers</h2>
<div class="scroll"><table id="proxies"><thead><tr><th>Proxy</th><th class="n">Queued</th><th class="n">Delivered</th><th class="n">Discarded</th></tr></thead><tbody></tbody></table></div>
<p id="no-proxies" class="muted">no consumer connected</p>
</section>
<section id="state" class="panel" aria-labelledby="h-state" hidden>
<h2 id="h-state">State directory</h2>
<dl><dt>directory</dt><dd id="state-dir"></dd><dt>event log appends</dt><dd id="state-appended"></dd>
<dt>segments</dt><dd id="state-segments"></dd><dt>syncs</dt><dd id="state-syncs"></dd></dl>
</section>
</div>
<section id="tail" class="panel" aria-labelledby="h-tail" data-stream="closed">
<h2 id="h-tail">Notifications</h2>
<form id="filter-form" autocomplete="off">
<label for="filter">Filter</label>
<input id="filter" type="text" spellcheck="false" placeholder="$mSeverity &gt;= 4 and $mModule == 'disk'">
<button type="submit" id="apply">Apply</button>
<button type="button" id="clear-filter">Every notification</button>
</form>
<div id="filter-problem" class="problem" role="alert" hidden><p id="filter-message"></p><pre id="filter-where"></pre></div>
<div class="bar">
<button type="button" id="pause" aria-pressed="false">Pause</button>
<span id="stream-status">connecting…</span>
<span id="held" hidden></span>
<span>dropped <b id="dropped">0</b></span>
<span id="watching" class="watching">every notification</span>
</div>
<div id="lines" class="one-channel" role="table" aria-label="notifications, newest first">
<div class="row head" role="row"><span class="c-time" role="columnheader">Time</span><span class="c-chan" role="columnheader">Channel</span><span class="c-host" role="columnheader">Host</span><span class="c-mod" role="columnheader">Module</span><span class="c-sev" role="columnheader">Severity</span><span class="c-code" role="columnheader">Code</span><span class="c-desc" role="columnheader">Description</span></div>
<div id="rows" role="rowgroup"></div>
</div>
<p id="empty" class="muted">no notification since the page opened</p>
</section>
</main>
)page"
                         R"page(<script>
'use strict';
(() => {
const POLL_MS = 2000, WINDOW_S = 300, MAX_ROWS = 500, MAX_HELD = 500;
const SEVERITIES = ['debug', 'info', 'notice', 'warning', 'error', 'critical', 'alert'];
const SERIES = [['received', 'var(--recv)', '#1f6feb'], ['delivered', 'var(--dlvr)', '#1a7f37'],
                ['discarded', 'var(--disc)', '#cf222e']];
const $ = (id) => document.getElementById(id);

// Text only: nothing here ever becomes markup.
function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = String(text);
  return e;
}
const str = (v) => (v === null || v === undefined ? '' : String(v));
const num = (v) => { v = Number(v); return Number.isFinite(v) ? v : 0; };
const count = (v) => num(v).toLocaleString('en-US');
function rate(v) { return (v >= 10 ? Math.round(v).toLocaleString('en-US') : v.toFixed(1)) + '/s'; }
function duration(s) {
  s = Math.floor(num(s));
  if (s < 60) return s + ' s';
  if (s < 3600) return Math.floor(s / 60) + ' min ' + (s % 60) + ' s';
  if (s < 86400) return Math.floor(s / 3600) + ' h ' + Math.floor(s % 3600 / 60) + ' min';
  return Math.floor(s / 86400) + ' d ' + Math.floor(s % 86400 / 3600) + ' h';
}

// ---- The service's figures, polled; rates come from successive readings.
const cards = new Map();  // channel key -> {root, cells, canvas, samples}
let lastUptime = -1;

function card(key) {
  let c = cards.get(key);
  if (c) return c;
  const root = el('article', 'channel');
  root.append(el('h3', '', key));
  const people = el('div', 'muted');
  const grid = el('div', 'series');
  const cells = {people};
  for (const [name, css] of SERIES) {
    const sw = el('span', 'swatch');
    sw.style.background = css;
    const label = el('span', '', name);
    label.prepend(sw, ' ');
    cells[name] = [el('span', 'rate', '–'), el('span', 'total muted', '')];
    for (const cell of cells[name]) cell.dataset.series = name;
    grid.append(label, cells[name][0], cells[name][1]);
  }
  const canvas = el('canvas');
  canvas.setAttribute('role', 'img');
  canvas.setAttribute('aria-label', 'received, delivered and discarded per second over the last 5 minutes');
  root.append(people, grid, canvas);
  c = {root, cells, canvas, samples: []};
  cards.set(key, c);
  return c;
}

// Rates between successive readings, as [time, received, delivered, discarded].
function rates(samples) {
  const out = [];
  for (let i = 1; i < samples.length; ++i) {
    const a = samples[i - 1], b = samples[i], dt = b[0] - a[0];
    if (dt > 0) out.push([b[0], (b[1] - a[1]) / dt, (b[2] - a[2]) / dt, (b[3] - a[3]) / dt]);
  }
  return out;
}

function plot(c) {
  const canvas = c.canvas, w = canvas.clientWidth, h = canvas.clientHeight;
  if (!w || !h) return;
  const dpr = window.devicePixelRatio || 1;
  if (canvas.width !== Math.round(w * dpr)) canvas.width = Math.round(w * dpr);
  if (canvas.height !== Math.round(h * dpr)) canvas.height = Math.round(h * dpr);
  const g = canvas.getContext('2d');
  g.setTransform(dpr, 0, 0, dpr, 0, 0);
  g.clearRect(0, 0, w, h);
  const points = rates(c.samples);
  canvas.dataset.points = points.length;
  if (!points.length) return;
  const now = c.samples[c.samples.length - 1][0], from = now - WINDOW_S;
  let top = 0;
  for (const p of points) top = Math.max(top, p[1], p[2], p[3]);
  top = top > 0 ? top * 1.15 : 1;
  const x = (t) => (t - from) / WINDOW_S * (w - 2) + 1;
  const y = (v) => h - 2 - v / top * (h - 16);
  g.font = '10px system-ui, sans-serif';
  g.fillStyle = '#6e7781';
  g.fillText('max ' + rate(top / 1.15), 4, 10);
  g.lineWidth = 1.5;
  g.lineJoin = 'round';
  SERIES.forEach(([, , colour], k) => {
    g.strokeStyle = colour;
    g.beginPath();
    points.forEach((p, i) => (i ? g.lineTo(x(p[0]), y(p[k + 1])) : g.moveTo(x(p[0]), y(p[k + 1]))));
    if (points.length === 1) g.lineTo(x(now) - 3, y(points[0][k + 1]));
    g.stroke();
  });
}

function showChannels(channels, uptime) {
  const box = $('channels'), seen = new Set();
  if (uptime < lastUptime) for (const c of cards.values()) c.samples = [];  // restarted
  lastUptime = uptime;
  for (const ch of channels) {
    const key = str(ch.key);
    seen.add(key);
    const c = card(key);
    const s = c.samples;
    s.push([uptime, num(ch.received), num(ch.delivered), num(ch.discarded)]);
    while (s.length > 2 && s[1][0] < uptime - WINDOW_S) s.shift();
    c.cells.people.textContent = count(ch.suppliers) + ' suppliers · ' + count(ch.consumers) + ' consumers';
    const last = rates(s.slice(-2))[0];
    SERIES.forEach(([name], k) => {
      c.cells[name][0].textContent = last ? rate(Math.max(0, last[k + 1])) : '–';
      c.cells[name][1].textContent = count(ch[name]) + ' in all';
    });
    if (c.root.parentNode !== box) {
      const waiting = box.querySelector(':scope > p');
      if (waiting) waiting.remove();
      box.append(c.root);
    }
    plot(c);
  }
  for (const [key, c] of cards) if (!seen.has(key)) { c.root.remove(); cards.delete(key); }
  if (!channels.length) box.replaceChildren(el('p', 'muted', 'no channel'));
  // One channel names every line alike: its column would only take room.
  $('lines').classList.toggle('one-channel', cards.size <= 1);
}

function showProxies(proxies) {
  const body = $('proxies').tBodies[0];
  body.replaceChildren(...proxies.map((p) => {
    const tr = el('tr');
    const who = el('td', 'proxy', str(p.proxy));
    who.append(el('small', '', str(p.channel)));
    who.title = str(p.channel) + ' ' + str(p.proxy);
    tr.append(who, el('td', 'n', count(p.queued)), el('td', 'n', count(p.delivered)),
              el('td', 'n', count(p.discarded)));
    return tr;
  }));
  $('proxies').hidden = !proxies.length;
  $('no-proxies').hidden = !!proxies.length;
}

function show(s) {
  $('version').textContent = str(s.version) || '–';
  $('uptime').textContent = duration(s.uptimeSeconds);
  $('clustered').hidden = s.clustered !== true;
  $('viewers').textContent = count(s.viewers) + ' of ' + count(s.maxViewers);
  showChannels(Array.isArray(s.channels) ? s.channels : [], num(s.uptimeSeconds));
  showProxies(Array.isArray(s.proxies) ? s.proxies : []);
  const st = s.state && typeof s.state === 'object' ? s.state : null;
  $('state').hidden = !st;
  if (st) {
    $('state-dir').textContent = str(st.directory);
    $('state-appended').textContent = count(st.eventLogAppended);
    $('state-segments').textContent = count(st.eventLogSegments);
    $('state-syncs').textContent = count(st.eventLogSyncs);
  }
}

async function figures() {
  const r = await fetch('console/state', {cache: 'no-store'});
  if (!r.ok) throw new Error('HTTP ' + r.status);
  return r.json();
}

function link(up, text) {
  const l = $('link');
  l.className = 'link ' + (up ? 'up' : 'down');
  l.textContent = text;
}

async function poll() {
  try {
    show(await figures());
    link(true, 'live');
  } catch (e) {
    link(false, 'the service does not answer');
  }
  setTimeout(poll, POLL_MS);
}

let resizing = 0;
window.addEventListener('resize', () => {
  clearTimeout(resizing);
  resizing = setTimeout(() => cards.forEach(plot), 150);
});

// ---- The tail: one EventSource, reopened whenever the filter changes.
let source = null, generation = 0, retry = 0, failures = 0, constraint = '';
let droppedEarlier = 0, droppedNow = 0, droppedPaused = 0;
let paused = false;
const held = [];
const rows = $('rows');

function streamStatus(state, text) {
  $('tail').dataset.stream = state;
  const s = $('stream-status');
  s.className = 'stream-' + state;
  s.textContent = text;
}

function showDropped() {
  const d = $('dropped');
  d.textContent = count(droppedEarlier + droppedNow + droppedPaused);
  d.parentNode.title = 'the service dropped ' + count(droppedEarlier + droppedNow) +
      ' for reading too slowly; ' + count(droppedPaused) + ' went while paused';
}

function showHeld() {
  const h = $('held');
  h.hidden = !paused;
  h.dataset.held = held.length;
  h.textContent = 'paused: ' + count(held.length) + ' held' + (held.length >= MAX_HELD ? ' (full, more are dropped)' : '');
}

function code(v) { return '0x' + (num(v) >>> 0).toString(16).toUpperCase().padStart(8, '0'); }

function severity(n) {
  const v = num(n.severity), k = Math.max(0, Math.min(6, Math.floor(v)));
  return el('span', 'sev sev' + k, str(n.severityName) || SEVERITIES[k]);
}

function row(n) {
  const r = el('div', 'row event');
  r.setAttribute('role', 'row');
  const time = str(n.time), sev = el('span', 'c-sev');
  sev.append(severity(n));
  const cells = [el('span', 'c-time', time.slice(time.indexOf(' ') + 1)), el('span', 'c-chan', str(n.channel)),
                 el('span', 'c-host', str(n.host)), el('span', 'c-mod', str(n.module)), sev,
                 el('span', 'c-code', code(n.code)), el('span', 'c-desc', str(n.description))];
  cells[0].title = time;
  for (const c of cells.slice(1, 4)) c.title = c.textContent;
  for (const c of cells) c.setAttribute('role', 'cell');
  r.append(...cells);
  return r;
}

function insert(nodes) {
  if (!nodes.length) return;
  const f = document.createDocumentFragment();
  for (let i = nodes.length - 1; i >= 0; --i) f.append(nodes[i]);  // newest first
  rows.prepend(f);
  while (rows.childElementCount > MAX_ROWS) rows.lastElementChild.remove();
  $('empty').hidden = true;
}

function note(text) {
  const n = el('div', 'row note', text);
  n.setAttribute('role', 'row');
  insert([n]);
}

function arrive(n) {
  if (!paused) return insert([row(n)]);
  if (held.length < MAX_HELD) held.push(n); else ++droppedPaused;
  showHeld();
  showDropped();
}

function closeTail() {
  ++generation;
  clearTimeout(retry);
  if (source) source.close();
  source = null;
  droppedEarlier += droppedNow;  // each stream counts from 0
  droppedNow = 0;
}

function openTail() {
  closeTail();
  const mine = generation;
  const es = new EventSource('console/tail?constraint=' + encodeURIComponent(constraint));
  source = es;
  streamStatus('connecting', 'connecting…');
  es.onopen = () => {
    if (mine !== generation) return;
    failures = 0;
    streamStatus('open', 'watching');
  };
  es.onmessage = (m) => {
    if (mine !== generation) return;
    let n;
    try { n = JSON.parse(m.data); } catch (e) { return; }
    if (n && typeof n === 'object') arrive(n);
  };
  es.addEventListener('dropped', (m) => {
    if (mine !== generation) return;
    try { droppedNow = num(JSON.parse(m.data).dropped); } catch (e) { return; }
    showDropped();
  });
  es.onerror = () => {
    if (mine !== generation) return;
    closeTail();
    explain(generation);
  };
}

// An EventSource tells no status, so the figures say whether the service
// refused a page too many or is gone; either way the page tries again.
async function explain(mine) {
  const delay = Math.min(15, 2 * ++failures);
  let why = 'the tail was cut off';
  try {
    const s = await figures();
    if (num(s.viewers) >= num(s.maxViewers)) {
      why = 'the service refused the tail: too many viewers (' + count(s.viewers) + ' of at most ' +
            count(s.maxViewers) + ' watch)';
    }
  } catch (e) {
    why = 'the service does not answer (stopped?)';
  }
  if (mine !== generation) return;
  streamStatus('failed', why + '; trying again in ' + delay + ' s');
  retry = setTimeout(openTail, delay * 1000);
}

function showWatching() {
  const w = $('watching');
  if (!constraint) { w.textContent = 'every notification'; return; }
  w.replaceChildren('only ', el('code', '', constraint));
}

// ---- The filter: checked first, so that a mistake keeps the stream as it is.
let asked = 0;

function problem(text, message, position) {
  $('filter-message').textContent = message;
  const where = $('filter-where');
  where.replaceChildren();
  if (position !== null) {
    const shown = text.replace(/[\t\n\r]/g, ' ');
    const at = Math.max(0, Math.min(position, shown.length));
    const mark = el('mark', '', at < shown.length ? shown.charAt(at) : ' ');
    where.append(shown.slice(0, at), mark, shown.slice(at + 1), '\n' + ' '.repeat(at) + '^ ' +
                 (at < shown.length ? 'at character ' + (at + 1) : 'at the end'));
  }
  where.hidden = position === null;
  $('filter-problem').hidden = false;
}

async function applyFilter(text) {
  const mine = ++asked;
  let answer;
  try {
    const r = await fetch('console/filter?constraint=' + encodeURIComponent(text), {cache: 'no-store'});
    answer = await r.json();
  } catch (e) {
    if (mine === asked) problem(text, 'the filter could not be checked: the service does not answer', null);
    return;
  }
  if (mine !== asked) return;
  if (!answer || answer.ok !== true) {
    problem(text, str(answer && answer.message) || 'not a constraint',
            answer && Number.isFinite(answer.position) ? answer.position : null);
    return;
  }
  $('filter-problem').hidden = true;
  if (text === constraint && source) return;
  if (text !== constraint) note(text ? 'from here on, only ' + text : 'from here on, every notification');
  constraint = text;
  showWatching();
  openTail();
}

$('filter-form').addEventListener('submit', (e) => {
  e.preventDefault();
  applyFilter($('filter').value);
});
$('clear-filter').addEventListener('click', () => {
  $('filter').value = '';
  applyFilter('');
});
$('pause').addEventListener('click', () => {
  paused = !paused;
  const b = $('pause');
  b.setAttribute('aria-pressed', String(paused));
  b.textContent = paused ? 'Resume' : 'Pause';
  if (!paused) insert(held.splice(0).map(row));
  showHeld();
});

showDropped();
openTail();
poll();
})();
</script>
</body>
</html>
)page";

}  // namespace

std::string_view ConsolePage() { return std::string_view(kPage, sizeof kPage - 1); }

}  // namespace channeld
}  // namespace kestrel
