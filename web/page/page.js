// The web monitor's page: follows the bridge's live stream (Server-Sent Events) and shows what
// the window shows. Lines, clients and graphs come as the window's own texts and colours.
"use strict";

const LINE_LIMIT = 500;
const ICON_TITLES = ["client error", "client frame", "bus error", "bus frame"];
// The graphs' colours, as the window draws them.
const GRAPH_COLOURS = {
  rx: { background: "rgb(221, 255, 221)", bar: "rgb(0, 119, 0)" },
  tx: { background: "rgb(221, 221, 255)", bar: "rgb(0, 0, 119)" },
};

const page = {
  lines: [],       // newest first, at most 500: {icon, colour, cells}
  waiting: [],     // what came while paused, oldest first
  paused: false,
  source: null,
  retry: null,
  clientRows: new Map(),  // key: its row
  listeners: false,
  modules: new Map(),     // address: the module as the bridge learned it
  owners: new Map(),      // sub-address: the module's own address
  clockOffset: 0,         // the host's Unix time less the browser's
};

const $ = (id) => document.getElementById(id);

// The window's filter rule: with "Filter" pressed, a line passes when its hexadecimal text
// begins with the filter text (in capitals); with "!" also pressed, when it does not contain it.
function passes(line) {
  if ($("filter").getAttribute("aria-pressed") !== "true") return true;
  const text = $("filter-text").value.toUpperCase();
  const hex = line.cells[1];
  const at = text === "" ? -1 : hex.indexOf(text);
  if ($("invert").getAttribute("aria-pressed") === "true") return at < 0;
  return at === 0;
}

const hex2 = (n) => n.toString(16).toUpperCase().padStart(2, "0");

// The module a line's frame is from or to, by the address in its hexadecimal text.
function moduleOfLine(line) {
  const hex = line.cells[1];
  if (hex.length < 12 || !hex.startsWith("0F")) return "";
  const address = parseInt(hex.substring(4, 6), 16);
  const module = page.modules.get(page.owners.get(address) ?? address);
  return module ? (module.name || module.type || "") : "";
}

function monitorRow(line) {
  const row = document.createElement("tr");
  row.style.color = line.colour;
  const icon = document.createElement("td");
  const img = document.createElement("img");
  img.src = "icons/" + line.icon + ".png";
  img.alt = img.title = ICON_TITLES[line.icon] || "";
  icon.appendChild(img);
  row.appendChild(icon);
  // The module's name goes beside Source, before it, so that a narrow screen shows it too.
  const cells = line.cells.slice(0, 4).concat([moduleOfLine(line), line.cells[4]]);
  for (const text of cells) {
    const cell = document.createElement("td");
    cell.textContent = text;
    row.appendChild(cell);
  }
  return row;
}

function shownCount() {
  return $("monitor").tBodies[0].rows.length;
}

function showCount() {
  $("line-count").textContent = "Log line Number: " + shownCount();
}

function redrawMonitor() {
  const body = document.createElement("tbody");
  for (const line of page.lines) {
    if (passes(line)) body.appendChild(monitorRow(line));
  }
  $("monitor").replaceChild(body, $("monitor").tBodies[0]);
  showCount();
}

// Lines oldest first; each goes to the top, and the oldest drop out past 500.
function addLines(lines) {
  if (lines.length === 0) return;
  if (page.paused) {
    page.waiting.push(...lines);
    if (page.waiting.length > LINE_LIMIT) page.waiting.splice(0, page.waiting.length - LINE_LIMIT);
    return;
  }
  const body = $("monitor").tBodies[0];
  const fresh = document.createDocumentFragment();
  for (let i = lines.length - 1; i >= 0; --i) {
    if (passes(lines[i])) fresh.appendChild(monitorRow(lines[i]));
  }
  body.insertBefore(fresh, body.firstChild);
  page.lines.unshift(...lines.slice().reverse());
  if (page.lines.length > LINE_LIMIT) {
    page.lines.length = LINE_LIMIT;
    // The shown rows are a subset of the held lines, in the same order.
    const shown = page.lines.filter(passes).length;
    while (body.rows.length > shown) body.deleteRow(-1);
  }
  showCount();
}

function clientRow(client, listeners) {
  const row = document.createElement("tr");
  row.dataset.key = client.key;
  const icon = document.createElement("td");
  const img = document.createElement("img");
  img.src = client.active ? "icons/4.png" : "icons/5.png";
  img.alt = img.title = client.active ? "connected" : "ended";
  icon.appendChild(img);
  row.appendChild(icon);
  for (const text of listeners ? client.cells.concat([client.listener || ""]) : client.cells) {
    const cell = document.createElement("td");
    cell.textContent = text;
    row.appendChild(cell);
  }
  return row;
}

function showMoreEnded(count) {
  const more = $("more-ended");
  more.hidden = !count;
  more.textContent = count ? "and " + count + " more ended within the hour" : "";
}

// The whole list, newest first (a snapshot, or the list emptied since).
function showClients(rows, moreEnded) {
  // A service with several listeners names the one each client came in by.
  page.listeners = rows.some((client) => client.listener !== undefined);
  $("listener-title").hidden = !page.listeners;
  page.clientRows = new Map();
  const body = document.createElement("tbody");
  for (const client of rows) {
    const row = clientRow(client, page.listeners);
    page.clientRows.set(client.key, row);
    body.appendChild(row);
  }
  $("clients").replaceChild(body, $("clients").tBodies[0]);
  showMoreEnded(moreEnded);
}

// Only the rows that changed: each new, changed or gone one in its place, newest first.
function changeClients(changes, moreEnded) {
  const body = $("clients").tBodies[0];
  for (const change of changes) {
    if (change.gone !== undefined) {
      const row = page.clientRows.get(change.gone);
      if (row) row.remove();
      page.clientRows.delete(change.gone);
      continue;
    }
    const client = change.row;
    if (client.listener !== undefined && !page.listeners) {
      page.listeners = true;
      $("listener-title").hidden = false;
    }
    const row = clientRow(client, page.listeners);
    const old = page.clientRows.get(client.key);
    if (old) {
      old.replaceWith(row);
    } else {
      // New rows are the newest: at the top, but for a row older than the top one.
      let before = body.firstElementChild;
      while (before && Number(before.dataset.key) > client.key) before = before.nextElementSibling;
      body.insertBefore(row, before);
    }
    page.clientRows.set(client.key, row);
  }
  showMoreEnded(moreEnded);
}

function agoText(seconds) {
  const s = Math.max(0, Math.round(seconds));
  if (s < 60) return s + " s ago";
  if (s < 3600) return Math.floor(s / 60) + " min ago";
  if (s < 2 * 86400) return Math.floor(s / 3600) + " h ago";
  return Math.floor(s / 86400) + " days ago";
}

function lastSeenText(module) {
  const ago = agoText(Date.now() / 1000 + page.clockOffset - module.lastSeen);
  if (module.silent) return "silent, last heard " + ago;
  if (!module.heardSinceStart) return "not heard since the start, last " + ago;
  return ago;
}

function moduleRow(module) {
  const row = document.createElement("tr");
  row.dataset.address = module.address;
  row.className = module.silent ? "silent" : module.heardSinceStart ? "" : "unheard";
  const address = "$" + hex2(module.address) +
                  module.subAddresses.map((sub) => " $" + hex2(sub)).join("");
  for (const text of [address, module.type || "", module.name, module.serial || "", module.build || ""]) {
    const cell = document.createElement("td");
    cell.textContent = text;
    row.appendChild(cell);
  }
  const channels = document.createElement("td");
  const list = document.createElement("ul");
  for (const channel of module.channels) {
    const item = document.createElement("li");
    item.textContent = channel.channel + " " + channel.name;
    list.appendChild(item);
  }
  channels.appendChild(list);
  row.appendChild(channels);
  const seen = document.createElement("td");
  seen.className = "last-seen";
  seen.textContent = lastSeenText(module);
  row.appendChild(seen);
  return row;
}

// New or changed modules, each in its place by address.
function changeModules(modules, now) {
  if (now !== undefined) page.clockOffset = now - Date.now() / 1000;
  const body = $("modules").tBodies[0];
  for (const module of modules) {
    const old = page.modules.get(module.address);
    if (old) {
      for (const sub of old.subAddresses) page.owners.delete(sub);
    }
    page.modules.set(module.address, module);
    for (const sub of module.subAddresses) page.owners.set(sub, module.address);
    const row = moduleRow(module);
    const shown = body.querySelector('tr[data-address="' + module.address + '"]');
    if (shown) {
      shown.replaceWith(row);
      continue;
    }
    let before = body.firstElementChild;
    while (before && Number(before.dataset.address) < module.address) before = before.nextElementSibling;
    body.insertBefore(row, before);
  }
  const known = [...page.modules.values()];
  const silent = known.filter((m) => m.silent).length;
  $("module-count").textContent = page.modules.size === 0 ? "" :
    "(" + page.modules.size + " known" + (silent ? ", " + silent + " silent" : "") + ")";
  $("no-modules").hidden = page.modules.size > 0;
  showProject(known);
}

function plural(n, one, many) {
  return n + " " + (n === 1 ? one : many);
}

// The project file's button, and what the file will lack.
function showProject(known) {
  const inFile = known.filter((m) => m.inProject).length;
  const leftOut = known.length - inFile;
  const unnamed = known.filter((m) => m.namesMissing).length;
  $("project").hidden = inFile === 0;
  const notes = [];
  if (unnamed) {
    notes.push(plural(unnamed, "module has", "modules have") + " no names heard yet: --scan, or one scan by a client, fills them in.");
  }
  if (leftOut) {
    notes.push(plural(leftOut, "module is", "modules are") + " left out: the home-automation server does not know " +
               (leftOut === 1 ? "its type." : "their types."));
  }
  $("project-notes").textContent = notes.join(" ");
}

function showModules(modules, now) {
  page.modules = new Map();
  page.owners = new Map();
  $("modules").replaceChild(document.createElement("tbody"), $("modules").tBodies[0]);
  changeModules(modules, now);
}

// Rows that were no module of their own: heard at a sub-address before its module said so.
function removeModules(addresses) {
  for (const address of addresses) {
    page.modules.delete(address);
    const row = $("modules").tBodies[0].querySelector('tr[data-address="' + address + '"]');
    if (row) row.remove();
  }
  changeModules([]);
}

// Modules heard again since their rows came: only the time they were last heard.
function moduleSeen(times, now) {
  if (now !== undefined) page.clockOffset = now - Date.now() / 1000;
  for (const [address, seen] of Object.entries(times)) {
    const module = page.modules.get(Number(address));
    if (module) module.lastSeen = seen;
  }
  refreshLastSeen();
}

// "12 s ago" moves on between the bridge's batches.
function refreshLastSeen() {
  for (const row of $("modules").tBodies[0].rows) {
    const module = page.modules.get(Number(row.dataset.address));
    if (module) row.lastElementChild.textContent = lastSeenText(module);
  }
}

function drawGraph(canvas, bars, colours) {
  const g = canvas.getContext("2d");
  g.fillStyle = colours.background;
  g.fillRect(0, 0, canvas.width, canvas.height);
  g.fillStyle = colours.bar;
  bars.forEach((pixels, x) => g.fillRect(x, canvas.height - pixels, 1, pixels));
}

function showStats(stats) {
  $("rx").value = stats.rx;
  $("tx").value = stats.tx;
  drawGraph($("rx-graph"), stats.rxBars, GRAPH_COLOURS.rx);
  drawGraph($("tx-graph"), stats.txBars, GRAPH_COLOURS.tx);
  $("uptime").textContent = stats.uptime;
  $("clock").textContent = stats.clock;
}

function showStatus(status) {
  $("version").textContent = status.version;
  $("device-name").textContent = status.device;
  const state = $("device-state");
  state.textContent = !status.serialUp ? "lost" : status.busOff ? "open, bus off"
                     : status.writesHeld ? "open, writes held: the interface is full" : "open";
  state.className = status.serialUp && !status.busOff ? "" : "lost";
  $("listening").textContent = "Listening on " + status.listening.join(", ");
  $("download-capture").hidden = !status.capture;  // a service that keeps none has nothing to give
  document.title = "Tessel-server " + status.device + (status.serialUp ? "" : " (lost)");
}

function apply(data) {
  // The modules first, so that the lines of this batch name theirs.
  if (data.modules) showModules(data.modules, data.now);
  if (data.moduleChanges) changeModules(data.moduleChanges, data.now);
  if (data.moduleSeen) moduleSeen(data.moduleSeen, data.now);
  if (data.modulesGone) removeModules(data.modulesGone);
  addLines(data.lines || []);
  if (data.clients) showClients(data.clients, data.moreEnded);
  if (data.clientChanges) changeClients(data.clientChanges, data.moreEnded);
  if (data.stats) showStats(data.stats);
  if (data.status) showStatus(data.status);
}

function connect() {
  page.retry = null;
  const source = new EventSource("events");
  page.source = source;
  source.addEventListener("snapshot", (event) => {
    const data = JSON.parse(event.data);
    if (data.reset) {
      // A page opened late, or the service started anew: what it holds replaces ours.
      page.lines = [];
      page.waiting = [];
      redrawMonitor();
    }
    apply(data);
    $("connection").hidden = true;
  });
  source.addEventListener("batch", (event) => apply(JSON.parse(event.data)));
  source.onerror = () => {
    $("connection").hidden = false;
    // The browser retries a dropped stream by itself; a refused one (too many pages, a
    // restart half done) is tried again here.
    if (source.readyState === EventSource.CLOSED && page.retry === null) {
      page.retry = setTimeout(connect, 3000);
    }
  };
}

function toggle(button) {
  const pressed = button.getAttribute("aria-pressed") !== "true";
  button.setAttribute("aria-pressed", String(pressed));
  return pressed;
}

// What the window's log file holds: ISO-8859-15 bytes, five TAB-separated columns, LF ends.
const LATIN9_ONLY = { 0x20ac: 0xa4, 0x160: 0xa6, 0x161: 0xa8, 0x17d: 0xb4, 0x17e: 0xb8, 0x152: 0xbc, 0x153: 0xbd, 0x178: 0xbe };
const LATIN1_REPLACED = new Set(Object.values(LATIN9_ONLY));

function latin9Bytes(text, out) {
  for (const ch of text) {
    const code = ch.codePointAt(0);
    if (code in LATIN9_ONLY) out.push(LATIN9_ONLY[code]);
    else if (code < 0x100 && !LATIN1_REPLACED.has(code)) out.push(code);
    else out.push(0x3f);  // "?": no single-byte form
  }
}

function logBytes() {
  const bytes = [];
  for (const line of page.lines) {
    if (!passes(line)) continue;
    latin9Bytes(line.cells.join("\t"), bytes);
    bytes.push(0x0a);
  }
  return new Uint8Array(bytes);
}

function logName(now) {
  const two = (n) => String(n).padStart(2, "0");
  return "Tessel-server_" + now.getFullYear() + "-" + two(now.getMonth() + 1) + "-" + two(now.getDate()) +
         "_" + two(now.getHours()) + "-" + two(now.getMinutes()) + ".log";
}

function save() {
  const url = URL.createObjectURL(new Blob([logBytes()], { type: "application/octet-stream" }));
  const link = document.createElement("a");
  link.href = url;
  link.download = logName(new Date());
  document.body.appendChild(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
}

document.addEventListener("DOMContentLoaded", () => {
  $("clear").addEventListener("click", () => {
    page.lines = [];
    page.waiting = [];
    redrawMonitor();
  });
  $("save").addEventListener("click", save);
  $("pause").addEventListener("click", (event) => {
    page.paused = toggle(event.currentTarget);
    event.currentTarget.textContent = page.paused ? "Resume" : "Pause";
    if (!page.paused) {
      const waiting = page.waiting;
      page.waiting = [];
      addLines(waiting);
    }
  });
  $("filter").addEventListener("click", (event) => {
    toggle(event.currentTarget);
    redrawMonitor();
  });
  $("invert").addEventListener("click", (event) => {
    toggle(event.currentTarget);
    redrawMonitor();
  });
  $("filter-text").addEventListener("input", redrawMonitor);
  setInterval(refreshLastSeen, 1000);
  drawGraph($("rx-graph"), new Array(110).fill(1), GRAPH_COLOURS.rx);
  drawGraph($("tx-graph"), new Array(110).fill(1), GRAPH_COLOURS.tx);
  connect();
});
