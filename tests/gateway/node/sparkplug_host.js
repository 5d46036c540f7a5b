// A Sparkplug B host for the gateway's tests, written on MQTT.js and Eclipse
// Tahu's payload codec (npm): it subscribes to spBv1.0/#, decodes every
// message and prints it as a JSON line, and publishes what it is told (JSON
// lines on stdin).
//
//   node sparkplug_host.js MQTT_URL
//   in:  {"op": "publish", "topic": ..., "payload": {...}}   a payload, encoded
//        {"op": "publish", "topic": ..., "raw": "<base64>"}   bytes as they are
//        {"op": "state", "host": ..., "online": true, "timestamp": ...}   retained
//   out: {"topic", "type", "device", "payload", "qos", "retain", "at"} a message
//        {"undecodable": topic, "error": ...}, {"ok": op}, {"ready": true}
"use strict";
const mqtt = require("mqtt");
const sparkplug = require("sparkplug-payload").get("spBv1.0");
const readline = require("readline");

const Long = require("long");

function plain(value) {
    if (Long.isLong(value)) return value.toNumber();
    if (Buffer.isBuffer(value) || value instanceof Uint8Array) return Buffer.from(value).toString("base64");
    if (Array.isArray(value)) return value.map(plain);
    if (value && typeof value === "object") {
        const out = {};
        for (const [k, v] of Object.entries(value)) out[k] = plain(v);
        return out;
    }
    return value;
}

function say(obj) {
    process.stdout.write(JSON.stringify(obj) + "\n");
}

const client = mqtt.connect(process.argv[2], {
    clientId: "sparkplug-host-" + process.pid,
    protocolVersion: 5,
    clean: true,
    reconnectPeriod: 200,
});
client.on("connect", () => {
    client.subscribe("spBv1.0/#", { qos: 1 }, () => say({ ready: true }));
});
client.on("message", (topic, message, packet) => {
    const parts = topic.split("/");
    if (parts[1] === "STATE") {
        say({ topic, type: "STATE", payload: message.toString(), retain: packet.retain, at: Date.now() });
        return;
    }
    try {
        const payload = plain(sparkplug.decodePayload(message));
        say({ topic, type: parts[2], device: parts[4] || null, payload, qos: packet.qos,
              retain: packet.retain, at: Date.now() });
    } catch (e) {
        say({ undecodable: topic, error: String(e) });
    }
});

const input = readline.createInterface({ input: process.stdin });
input.on("line", (line) => {
    const c = JSON.parse(line);
    const done = (err) => say(err ? { error: String(err), op: c.op } : { ok: c.op });
    if (c.op === "publish") {
        let bytes;
        if (c.raw !== undefined) {
            bytes = Buffer.from(c.raw, "base64");
        } else {
            const p = c.payload;
            for (const m of p.metrics || []) {
                if (m.alias !== undefined) m.alias = Long.fromNumber(m.alias, true);
            }
            if (p.timestamp === undefined) p.timestamp = Date.now();
            bytes = Buffer.from(sparkplug.encodePayload(p));
        }
        client.publish(c.topic, bytes, { qos: c.qos === undefined ? 0 : c.qos }, done);
    } else if (c.op === "state") {
        const body = JSON.stringify({ online: c.online, timestamp: c.timestamp || Date.now() });
        client.publish("spBv1.0/STATE/" + c.host, body, { qos: 1, retain: true }, done);
    } else if (c.op === "close") {
        client.end(false, {}, () => process.exit(0));
    }
});
input.on("close", () => client.end(true, {}, () => process.exit(0)));
