// A channel's settings and a scan of its line, under the channel's table:
// every role sees the settings, an administrator changes them and scans.
// The lists and ranges come from the gateway (GET /api/rules), the refusals
// too: this page checks nothing of its own.
"use strict";

let rules = null;
const panels = new Map();  // by channel: kept across renders, with what was typed

async function send(method, path, body, headers) {
  const r = await fetch(api(path), {
    method, headers: Object.assign({ "Content-Type": "application/json" }, headers || {}),
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  let answer = {};
  try { answer = await r.json(); } catch (e) { /* not JSON */ }
  return { status: r.status, answer };
}

const settingsPath = name => `/api/channels/${encodeURIComponent(name)}/settings`;
const scanPath = name => `/api/channels/${encodeURIComponent(name)}/scan`;

// A typed number as the gateway is to get it: a number when it is one, else
// the text itself (for the gateway to refuse in its own words).
function typed(text, scale) {
  const t = String(text).trim();
  if (t !== "" && !isNaN(Number(t))) return Math.round(Number(t) * (scale || 1));
  return t;
}

function choice(field, values, current) {
  const s = el("select", { "data-field": field });
  for (const v of values) s.append(el("option", { value: String(v), text: String(v) }));
  s.value = String(current);
  return s;
}

function field(words, input) {
  return el("label", { class: "field" }, el("span", { text: words }), input,
            el("span", { class: "refusal", "data-for": input.dataset.field }));
}

function stationLine(s) {
  const row = el("tr", { class: "station-entry" });
  const cell = (key, value, size) => el("td", {}, field("", el("input", { "data-key": key, value: String(value), size })));
  row.append(cell("name", s.name, 12), cell("number", s.number, 4), cell("description", s.description, 16),
             cell("period", s.period_ms / 1000, 6),
             el("td", {}, el("button", { class: "admin-only remove", text: "삭제 (remove)", type: "button",
                                         onclick: () => row.remove() })));
  return row;
}

// The fields' names as the gateway names them in a refusal.
function numberRows(panel) {
  panel.querySelectorAll("tr.station-entry").forEach((row, i) => {
    for (const input of row.querySelectorAll("input")) {
      const key = input.dataset.key === "period" ? "period_ms" : input.dataset.key;
      input.dataset.field = `stations[${i}].${key}`;
      input.nextElementSibling.dataset.for = input.dataset.field;
    }
  });
}

function fillSettings(panel, s) {
  panel.etag = s.etag;
  const form = panel.querySelector("form.settings");
  form.replaceChildren();
  const line = el("div", { class: "line" },
    field("포트 (port)", choice("port", rules.ports, s.port)),
    field("통신 속도 (baud)", choice("baud", rules.baud_rates, s.baud)),
    field("Parity", choice("parity", rules.parities, s.parity)),
    field("Data Bits", choice("data_bits", rules.data_bits, s.data_bits)),
    field("Stop Bits", choice("stop_bits", rules.stop_bits, s.stop_bits)),
    field(`통신 지연 (delay, ${rules.delay_ms.low}-${rules.delay_ms.high} ms)`, el("input", { "data-field": "delay_ms", value: String(s.delay_ms), size: 5 })),
    field(`Timeout (${rules.timeout_s.low}-${rules.timeout_s.high} s)`, el("input", { "data-field": "timeout_ms", value: String(s.timeout_ms / 1000), size: 4 })),
    field(`재시도 (retries, ${rules.retries.low}-${rules.retries.high})`, el("input", { "data-field": "retries", value: String(s.retries), size: 3 })));
  const body = el("tbody");
  for (const st of s.stations) body.append(stationLine(st));
  const table = el("table", { class: "stations-edit" },
    el("thead", {}, el("tr", {}, ...["이름 (name)", `국번 (number, ${rules.station_number.low}-${rules.station_number.high})`,
                                     "설명 (description)", `통신 주기 (period, ${rules.period_s.low}-${rules.period_s.high} s)`, ""]
                                     .map(t => el("th", { text: t })))), body);
  form.append(line, table,
    el("div", { class: "admin-only buttons" },
      el("button", { type: "button", text: "스테이션 추가 (add station)",
                     onclick: () => { body.append(stationLine({ name: "", number: "", description: "", period_ms: 1000 })); numberRows(panel); } }),
      el("button", { type: "submit", class: "save", text: "저장 (save)" })));
  numberRows(panel);
  form.querySelectorAll("input, select").forEach(i => { i.disabled = document.body.dataset.role !== "admin"; });
}

function settingsOf(panel) {
  const f = panel.querySelector("form.settings");
  const v = name => f.querySelector(`[data-field="${name}"]`).value;
  const stations = [...f.querySelectorAll("tr.station-entry")].map(row => {
    const get = key => row.querySelector(`[data-key="${key}"]`).value;
    return { name: get("name"), number: typed(get("number")), description: get("description"),
             period_ms: typed(get("period"), 1000) };
  });
  return { port: v("port"), baud: typed(v("baud")), parity: v("parity"), data_bits: typed(v("data_bits")),
           stop_bits: typed(v("stop_bits")), delay_ms: typed(v("delay_ms")), timeout_ms: typed(v("timeout_ms"), 1000),
           retries: typed(v("retries")), stations };
}

async function readSettings(panel) {
  const { status, answer } = await send("GET", settingsPath(panel.channel));
  if (status !== 200) { panel.querySelector(".settings-note").textContent = answer.error || String(status); return; }
  fillSettings(panel, answer);
}

async function saveSettings(panel) {
  for (const r of panel.querySelectorAll(".refusal")) r.textContent = "";
  const note = panel.querySelector(".settings-note");
  const { status, answer } = await send("PUT", settingsPath(panel.channel), settingsOf(panel), { "If-Match": `"${panel.etag}"` });
  if (status === 200) {
    panel.etag = answer.etag;
    note.textContent = answer.restarted ? "저장했습니다. 채널을 다시 시작했습니다 (saved; the channel restarted)"
                                        : `저장했으나 채널이 시작되지 않았습니다 (saved, not restarted): ${answer.error}`;
    note.dataset.result = answer.restarted ? "saved" : "not-saved";
    return;
  }
  note.dataset.result = "not-saved";
  const beside = answer.field && panel.querySelector(`.refusal[data-for="${CSS.escape(answer.field)}"]`);
  if (beside) beside.textContent = answer.error;
  note.textContent = status === 412 ? "파일이 그 사이에 바뀌었습니다: 다시 읽으세요 (the file changed: read it again)"
                                    : `저장하지 않았습니다 (not saved): ${answer.error || status}`;
}

// ---- the scan ----

function scanForm(panel) {
  const rates = ["current", "all", ...rules.baud_rates];
  return el("form", { class: "scan admin-only" },
    field("국번 (from)", el("input", { "data-field": "from", value: "0", size: 4 })),
    field("까지 (to)", el("input", { "data-field": "to", value: String(rules.station_number.high), size: 4 })),
    field("속도 (baud)", choice("scan-baud", rates, "current")),
    field("Timeout (ms)", el("input", { "data-field": "timeout_ms", value: String(names.limits.scan_timeout_ms), size: 5 })),
    el("button", { type: "submit", class: "start-scan", text: "검색 (scan)" }),
    el("button", { type: "button", class: "cancel-scan", text: "취소 (cancel)", hidden: "",
                   onclick: () => send("DELETE", scanPath(panel.channel)) }),
    el("progress", { max: "1", value: "0", hidden: "" }));
}

async function startScan(panel) {
  if (!confirm(`${panel.channel}: 검색하는 동안 이 채널의 스테이션은 폴링되지 않습니다. 검색할까요? ` +
               "(the channel's stations are not polled during the scan: scan now?)")) return;
  const f = panel.querySelector("form.scan");
  const v = name => f.querySelector(`[data-field="${name}"]`).value;
  const out = panel.querySelector(".found");
  out.replaceChildren();
  f.querySelector(".cancel-scan").hidden = false;
  f.querySelector("progress").hidden = false;
  f.querySelector(".start-scan").disabled = true;
  try {
    const { status, answer } = await send("POST", scanPath(panel.channel),
      { from: typed(v("from")), to: typed(v("to")), baud: typed(v("scan-baud")), timeout_ms: typed(v("timeout_ms")) });
    if (status !== 200) { out.append(el("p", { class: "not-scanned", text: answer.error || String(status) })); return; }
    showFound(panel, answer);
  } finally {
    f.querySelector(".cancel-scan").hidden = true;
    f.querySelector("progress").hidden = true;
    f.querySelector(".start-scan").disabled = false;
  }
}

// What a scan found: each station, and an offer to add those the file lacks.
function showFound(panel, r) {
  const out = panel.querySelector(".found");
  out.replaceChildren();
  if (r.rates) {
    for (const x of r.rates) out.append(el("div", { text: `${x.baud} bps: 응답 (answered) ${x.answered}, garbled ${x.garbled}` }));
    return;
  }
  const known = new Set([...panel.querySelectorAll('tr.station-entry [data-key="number"]')].map(i => Number(i.value)));
  out.append(el("p", { text: `${r.port} ${r.baud} bps${r.cancelled ? " — 취소됨 (cancelled)" : ""}: ` +
                              `응답 (answered) ${r.stations.length}, garbled ${r.garbled.length}` }));
  for (const s of r.stations) {
    const name = el("input", { placeholder: "이름 (name)", size: 10, class: "new-name" });
    const row = el("div", { class: "found-station", "data-number": String(s.number) },
      el("b", { text: `#${s.number}` }), ` 0x${s.status.toString(16).padStart(2, "0").toUpperCase()} ${s.reply_ms} ms `);
    if (!known.has(s.number))
      row.append(name, el("button", { type: "button", class: "add-found admin-only", text: "설정에 추가 (add)", onclick: () => {
        panel.querySelector("table.stations-edit tbody").append(stationLine({ name: name.value, number: s.number, description: "", period_ms: 1000 }));
        numberRows(panel);
        row.remove();
      } }));
    out.append(row);
  }
  for (const g of r.garbled)
    out.append(el("div", { class: "garbled", text: `#${g.number} garbled: ${label("scan_reasons", g.reason)}` }));
}

function onScan(e) {
  const s = JSON.parse(e.data);
  const panel = panels.get(s.channel);
  if (!panel || s.step !== "polling") return;
  const bar = panel.querySelector("form.scan progress");
  bar.max = s.total;
  bar.value = s.done + 1;
}

function adminPanel(channel) {
  if (panels.has(channel)) return panels.get(channel);
  const panel = el("details", { class: "admin", "data-channel": channel },
    el("summary", { text: "설정과 검색 (settings and scan)" }),
    el("form", { class: "settings" }), el("p", { class: "settings-note", "aria-live": "polite" }),
    el("h3", { class: "admin-only", text: "통신선 검색 (scan the line)" }));
  panel.channel = channel;
  panel.querySelector("form.settings").addEventListener("submit", e => { e.preventDefault(); saveSettings(panel); });
  // (the lists and ranges are read when the panel is first opened)
  panel.addEventListener("toggle", async () => {
    if (!panel.open) return;
    if (!rules) rules = await (await fetch(api("/api/rules"))).json();
    if (!panel.querySelector("form.scan")) {
      const scan = scanForm(panel);
      scan.addEventListener("submit", e => { e.preventDefault(); startScan(panel); });
      panel.append(scan, el("div", { class: "found" }));
    }
    if (!panel.etag) await readSettings(panel);
  });
  panels.set(channel, panel);
  return panel;
}
