// The gateway's page: the state from /api/state, kept live by /api/events,
// commands through /api/write and /api/station (a channel's settings and its
// scan: admin.js). Nothing is fetched from
// anywhere but this gateway.
"use strict";

// The gateway's names with the page's words for them (GET /api/names):
// channel_states, station_states, write_results, station_actions, counters.
let names = null;
const label = (kind, name) => (names && names[kind][name]) || name;

let model = null;     // the last state, kept up to date by the events
let shown = null;     // the channel on view
let events = null;

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "text") e.textContent = v;
    else if (k === "class") e.className = v;
    else if (k.startsWith("on")) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v);
  }
  for (const c of children) if (c) e.append(c);
  return e;
}

function toast(text) {
  const t = document.getElementById("toast");
  t.textContent = text;
  t.classList.add("show");
  clearTimeout(toast.timer);
  toast.timer = setTimeout(() => t.classList.remove("show"), 3000);
}

function channelSection(name) {
  return document.querySelector(`section.channel[data-channel="${CSS.escape(name)}"]`);
}

// The API's address from the page's origin: a page opened with its user and
// password in its own address would pass them on to every address built from
// it, and a browser refuses to fetch one that holds them.
function api(path) {
  return new URL(path, location.origin).href;
}

// A session that has ended (idle too long, logged out elsewhere, its user
// removed): the login page, rather than a page that no longer answers.
function toLogin(r) {
  if (r.status === 401 && document.body.dataset.session === "true") location.assign("/login");
  return r;
}

async function post(path, body) {
  const r = toLogin(await fetch(api(path), {
    method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body),
  }));
  let answer = {};
  try { answer = await r.json(); } catch (e) { /* not JSON */ }
  return { status: r.status, answer };
}

async function write(channel, tag, button) {
  if (!confirm(`${channel}: ${tag} 출력을 보낼까요? (send output ${tag}?)`)) return;
  button.dataset.result = "";
  button.disabled = true;
  try {
    const { status, answer } = await post("/api/write", { channel, tag, value: 1 });
    const result = status === 200 ? answer.result : (answer.error || String(status));
    button.dataset.result = status === 200 ? answer.result : "error";
    const out = channelSection(channel).querySelector(".result");
    out.textContent = `${tag}: ${label("write_results", result)}`;
    out.dataset.result = result;
    toast(`${tag}: ${label("write_results", result)}`);
  } catch (e) {
    toast(`${tag}: 보내지 못함 (not sent)`);
  } finally {
    button.disabled = false;
  }
}

async function stationCommand(channel, station, command) {
  const { status, answer } = await post("/api/station", { channel, station, command });
  toast(status === 200 ? `${station}: ${label("station_actions", command)}` : `${station}: ${answer.error || status}`);
}

function lamps(station, values) {
  const box = el("div", { class: "lamps" });
  station.inputs.forEach((tag, bit) => {
    const on = tag !== null && values[tag] === 1;
    box.append(el("span", {
      class: "lamp" + (tag === null ? " none" : "") + (on ? " on" : ""),
      "data-tag": tag || "", title: tag ? `I${bit} ${tag}` : "", text: String(bit),
    }));
  });
  return box;
}

function outputs(channel, station) {
  const box = el("div", { class: "outs" });
  station.outputs.forEach((tag, bit) => {
    const b = el("button", { class: "out", "data-tag": tag || "", title: tag ? `O${bit} ${tag}` : "", text: `O${bit}` });
    if (tag === null) b.disabled = true;
    else b.addEventListener("click", () => write(channel, tag, b));
    box.append(b);
  });
  return box;
}

function stationRow(channel, s, values) {
  const row = el("tr", { "data-station": s.name });
  row.append(
    el("td", { "data-label": "스테이션 (station)" }, el("b", { text: s.name }), ` #${s.number}`),
    el("td", { "data-label": "상태 (state)" }, el("span", { class: "badge" })));
  for (const [key, words] of names.counters)
    row.append(el("td", { class: "num", "data-label": words, "data-counter": key }));
  row.append(el("td", { "data-label": "입력 (inputs)" }, lamps(s, values)),
             el("td", { "data-label": "출력 (outputs)" }, outputs(channel, s)));
  const toggle = el("button", { class: "cmd toggle" });
  toggle.addEventListener("click", () => stationCommand(channel, s.name, toggle.dataset.command));
  row.append(el("td", {}, toggle,
    el("button", { class: "cmd", "data-command": "reset", text: label("station_actions", "reset"),
                   onclick: () => stationCommand(channel, s.name, "reset") })));
  updateRow(row, s);
  return row;
}

// A station's state and counters changed: the row keeps its lamps and buttons.
function updateRow(row, s) {
  const badge = row.querySelector(".badge");
  badge.dataset.state = s.state;
  badge.textContent = label("station_states", s.state);
  for (const [key] of names.counters) row.querySelector(`[data-counter="${key}"]`).textContent = String(s[key]);
  const toggle = row.querySelector("button.toggle");
  toggle.dataset.command = s.enabled ? "disable" : "enable";
  toggle.textContent = label("station_actions", toggle.dataset.command);
}

function logLine(l) {
  const time = l.time ? new Date(l.time).toLocaleTimeString() : "";
  return el("div", { class: l.kind, text: `${time} ${l.text}` });
}

function render() {
  document.getElementById("gateway-id").textContent = model.gateway.id;
  setBroker(model.gateway.broker);
  const tabs = document.getElementById("tabs");
  const main = document.getElementById("channels");
  tabs.replaceChildren();
  main.replaceChildren();
  if (shown !== HISTORY && !model.channels.some(c => c.name === shown)) shown = model.channels.length ? model.channels[0].name : null;
  for (const c of model.channels) {
    tabs.append(el("button", { role: "tab", "aria-selected": String(c.name === shown), "data-channel": c.name,
                               text: c.name, onclick: () => { shown = c.name; render(); } }));
    const head = el("div", { class: "channel-head" }, el("h2", { text: c.name }),
                    el("span", { class: "badge channel-state", "data-state": c.state, text: label("channel_states", c.state) }),
                    el("span", { class: "result", "aria-live": "polite" }));
    const body = el("tbody");
    for (const s of c.stations) body.append(stationRow(c.name, s, c.tags));
    const table = el("table", {},
      el("thead", {}, el("tr", {}, ...["스테이션 (station)", "상태 (state)", ...names.counters.map(x => x[1]),
                                       "입력 I0-I7 (inputs)", "출력 O0-O7 (outputs)", ""].map(t => el("th", { text: t }))), ),
      body);
    const log = el("div", { class: "log", "aria-label": "로그 (log)" });
    for (const l of c.log) log.append(logLine(l));
    const section = el("section", { class: "channel", "data-channel": c.name }, head, table,
                       adminPanel(c.name), el("h3", { text: "로그 (log)" }), log);
    section.hidden = c.name !== shown;
    main.append(section);
    log.scrollTop = log.scrollHeight;
  }
  // the history, where the gateway keeps one
  if (model.gateway.history) {
    tabs.append(el("button", { role: "tab", "aria-selected": String(shown === HISTORY), "data-channel": HISTORY,
                               text: "이력 (History)", onclick: () => { shown = HISTORY; render(); loadHistory(historySection(), false); } }));
    const view = historySection();
    view.hidden = shown !== HISTORY;
    main.append(view);
  }
}

function setBroker(state) {
  const b = document.getElementById("broker-state");
  b.dataset.state = state;
  b.textContent = label("broker_states", state);
}

function setLink(state) {
  const b = document.getElementById("link-state");
  b.dataset.state = state;
  b.textContent = state === "live" ? "실시간 (live)" : "다시 연결 중 (reconnecting)";
}

// Events that arrive while the state loads wait, and are applied on top of
// it in order: the snapshot may be older than they are.
let held = null;

async function loadState() {
  held = [];
  try {
    if (!names) {
      const n = await fetch(api("/api/names"));
      if (!n.ok) throw new Error(String(n.status));
      names = await n.json();
      // who is logged in: a viewer gets no write or command buttons
      const m = await fetch(api("/api/me"), { cache: "no-store" });
      if (m.ok) {
        const me = await m.json();
        document.body.dataset.role = me.role;
        document.body.dataset.session = String(me.session === true);
        document.getElementById("user").textContent = me.user ? `${me.user} (${me.role})` : me.role;
        document.getElementById("logout").hidden = me.session !== true;
      }
    }
    const r = toLogin(await fetch(api("/api/state"), { cache: "no-store" }));
    if (!r.ok) throw new Error(String(r.status));
    model = await r.json();
    render();
    for (const [handler, e] of held) handler(e);
  } finally {
    held = null;
  }
}

function whenLoaded(handler) {
  return e => { if (held) held.push([handler, e]); else handler(e); };
}

function onValue(e) {
  const v = JSON.parse(e.data);
  const c = model && model.channels.find(x => x.name === v.channel);
  if (!c) return;
  c.tags[v.tag] = v.value;
  const section = channelSection(v.channel);
  if (!section) return;
  for (const lamp of section.querySelectorAll(`.lamp[data-tag="${CSS.escape(v.tag)}"]`))
    lamp.classList.toggle("on", v.value === 1);
}

function onStation(e) {
  const s = JSON.parse(e.data);
  const c = model && model.channels.find(x => x.name === s.channel);
  if (!c) return;
  const i = c.stations.findIndex(x => x.name === s.name);
  if (i < 0) return;
  c.stations[i] = s;
  const section = channelSection(s.channel);
  const row = section && section.querySelector(`tr[data-station="${CSS.escape(s.name)}"]`);
  if (row) updateRow(row, s);
}

function onState(e) {
  const s = JSON.parse(e.data);
  const c = model && model.channels.find(x => x.name === s.channel);
  if (c) c.state = s.state;
  const section = channelSection(s.channel);
  const badge = section && section.querySelector(".channel-state");
  if (badge) { badge.dataset.state = s.state; badge.textContent = label("channel_states", s.state); }
}

function onLog(e) {
  const l = JSON.parse(e.data);
  const section = channelSection(l.channel);
  const log = section && section.querySelector(".log");
  if (!log) return;
  const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  log.append(logLine(l));
  while (log.children.length > 200) log.firstChild.remove();
  if (atEnd) log.scrollTop = log.scrollHeight;
}

function connect() {
  if (events) events.close();
  events = new EventSource(api("/api/events"));
  events.addEventListener("open", () => {
    // the whole state again at every (re)connection: nothing missed in between
    loadState().then(() => setLink("live")).catch(() => setLink("lost"));
  });
  events.addEventListener("value", whenLoaded(onValue));
  events.addEventListener("station", whenLoaded(onStation));
  events.addEventListener("state", whenLoaded(onState));
  events.addEventListener("log", whenLoaded(onLog));
  events.addEventListener("gateway", e => setBroker(JSON.parse(e.data).broker));
  // a channel restarted or a reload: the stations may differ
  events.addEventListener("channels", whenLoaded(() => loadState().catch(() => setLink("lost"))));
  events.addEventListener("scan", onScan);
  events.addEventListener("error", () => {
    setLink("lost");
    // a refused stream is not retried by the browser: start again later
    // (a session that has ended: the state's answer leads to the login page)
    if (events.readyState === EventSource.CLOSED) {
      setTimeout(() => { loadState().catch(() => {}); connect(); }, 2000);
    }
  });
}

connect();
