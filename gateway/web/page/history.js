// The history tab: the gateway's events (GET /api/history), filtered by
// channel, station, kind and time, newest first, a page at a time; the same
// as a spreadsheet (CSV); and a station's states over the events shown as a
// timeline. Every role sees it.
"use strict";

const HISTORY = "\u0000history";  // the tab's name among the channels'
let historyView = null;

function historyQuery(form, extra) {
  const q = new URLSearchParams();
  for (const key of ["channel", "station", "kind"]) {
    const v = form.querySelector(`[name="${key}"]`).value.trim();
    if (v) q.set(key, v);
  }
  for (const key of ["since", "until"]) {
    const v = form.querySelector(`[name="${key}"]`).value;
    if (v) q.set(key, new Date(v).toISOString());
  }
  for (const [k, v] of Object.entries(extra || {})) q.set(k, v);
  return q;
}

function historyRow(e) {
  const kind = label("history_kinds", e.kind);
  const state = e.state && ((names.station_states[e.state] && e.kind === "station") ? label("station_states", e.state)
                           : (names.channel_states[e.state] && e.kind === "channel") ? label("channel_states", e.state) : e.state);
  const result = e.result && (names.write_results[e.result] ? label("write_results", e.result) : e.result);
  const cells = [new Date(e.time).toLocaleString(), kind, e.channel, e.station, e.tag, state,
                 e.value === null ? "" : String(e.value), e.origin, e.who, result, e.detail];
  return el("tr", { "data-id": String(e.id), "data-kind": e.kind },
            ...cells.map(c => el("td", { text: c === null || c === undefined ? "" : c })));
}

// A station's states between its events and now, as coloured stretches.
async function drawTimeline(view, channel, station) {
  const box = view.querySelector(".timeline");
  box.replaceChildren();
  if (!channel || !station) return;
  const q = new URLSearchParams({ channel, station, kind: "station", limit: "1000" });
  const r = await fetch(api("/api/history?" + q));
  if (!r.ok) return;
  const events = (await r.json()).events.reverse();
  if (!events.length) return;
  const start = Date.parse(events[0].time), end = Date.now(), span = Math.max(end - start, 1);
  events.forEach((e, i) => {
    const from = Date.parse(e.time), to = i + 1 < events.length ? Date.parse(events[i + 1].time) : end;
    const stretch = el("span", { class: "stretch", "data-state": e.state,
                                 title: `${new Date(from).toLocaleString()} ${label("station_states", e.state)}` });
    // (through the style object: the page's policy refuses style attributes)
    stretch.style.flexGrow = String(Math.max((to - from) / span, 0.002));
    box.append(stretch);
  });
  box.prepend(el("b", { text: `${station} ` }));
}

async function loadHistory(view, more) {
  const form = view.querySelector("form.history");
  const body = view.querySelector("tbody");
  const extra = { limit: String(names.limits.history_page) };
  if (more && view.lastId) extra.before = String(view.lastId);
  const q = historyQuery(form, extra);
  view.querySelector("a.csv").href = api("/api/history.csv?" + historyQuery(form));
  const r = await fetch(api("/api/history?" + q), { cache: "no-store" });
  const answer = await r.json();
  if (!r.ok) { view.querySelector(".history-note").textContent = answer.error || String(r.status); return; }
  view.querySelector(".history-note").textContent = "";
  if (!more) body.replaceChildren();
  for (const e of answer.events) body.append(historyRow(e));
  view.lastId = answer.events.length ? answer.events[answer.events.length - 1].id : view.lastId;
  view.querySelector("button.more").hidden = answer.events.length < names.limits.history_page;
  await drawTimeline(view, form.querySelector('[name="channel"]').value, form.querySelector('[name="station"]').value.trim());
}

function historySection() {
  if (historyView) return historyView;
  const kinds = el("select", { name: "kind" }, el("option", { value: "", text: "모두 (all)" }),
                   ...Object.entries(names.history_kinds).map(([k, words]) => el("option", { value: k, text: words })));
  const channels = el("select", { name: "channel" }, el("option", { value: "", text: "모두 (all)" }),
                      ...model.channels.map(c => el("option", { value: c.name, text: c.name })));
  const form = el("form", { class: "history" },
    el("label", { class: "field" }, el("span", { text: "채널 (channel)" }), channels),
    el("label", { class: "field" }, el("span", { text: "스테이션 (station)" }), el("input", { name: "station", size: 10 })),
    el("label", { class: "field" }, el("span", { text: "종류 (kind)" }), kinds),
    el("label", { class: "field" }, el("span", { text: "부터 (since)" }), el("input", { name: "since", type: "datetime-local" })),
    el("label", { class: "field" }, el("span", { text: "까지 (until)" }), el("input", { name: "until", type: "datetime-local" })),
    el("button", { type: "submit", text: "조회 (search)" }),
    el("a", { class: "csv", href: api("/api/history.csv"), download: "history.csv", text: "CSV" }));
  const table = el("table", { class: "history" },
    el("thead", {}, el("tr", {}, ...["시각 (time)", "종류 (kind)", "채널 (channel)", "스테이션 (station)", "태그 (tag)",
                                     "상태 (state)", "값 (value)", "출처 (origin)", "누가 (who)", "결과 (result)", "내용 (detail)"]
                                     .map(t => el("th", { text: t })))), el("tbody"));
  historyView = el("section", { class: "channel history-view", "data-channel": HISTORY },
    el("div", { class: "channel-head" }, el("h2", { text: "이력 (History)" })), form,
    el("div", { class: "timeline", "aria-label": "상태 타임라인 (timeline)" }),
    el("p", { class: "history-note", "aria-live": "polite" }), table,
    el("button", { class: "more", type: "button", hidden: "", text: "더 보기 (more)", onclick: () => loadHistory(historyView, true) }));
  form.addEventListener("submit", e => { e.preventDefault(); loadHistory(historyView, false); });
  return historyView;
}
