#!/usr/bin/python3
"""A day on the plant: drvgw with every table on, under all its clients at
once, while a line drops, a station falls silent, the broker restarts, the
configuration is reloaded (changed, then broken), the page scans a line and
saves a channel's settings. Measured all along, checked at the end:

- every write acted exactly once and was told its true outcome (mcsim's
  trace against what each client was told, and the history);
- the history holds every write and every station state the clients saw;
- no thread, file descriptor, session or stream left over once the clients
  have gone; the watchdog never late; RSS after warm-up grows by less than
  1 MB beyond the history's bounded page caches filling; each way in's p99
  latency in the run's last tenth within 20 % of the tenth after warm-up
  (plus 1 ms, and 5 ms in a short run: its 30-second windows on a small
  machine that also runs every client swing that much), the faults' own
  moments left out. A window's p99 is never taken above its fourth-highest
  sample: MQTT's thirty writes in a short run's window would make it the
  single slowest one.
- The faults come once, in the first half of a short run (under 15 minutes),
  which is its warm-up; in a long one twice, in each half, the first tenth
  and the first round being its warm-up: the second round shows whether a
  fault leaves anything behind.

Run: soak_gateway.py BIN_FOLDER [--minutes N] [--out FOLDER] [--keep]
     (under Debian's /usr/bin/python3; FOLDER gets soak.json, soak.svg, the logs)"""
import argparse
import base64
import json
import os
import random
import shutil
import signal
import socket
import datetime
import gc
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gwtest  # noqa: E402
from gwtest import (Broker, Gateway, Sim, channel_config, descriptors, free_port, sockets_of,  # noqa: E402
                    wait_until)
from test_drvgw import modbus_request  # noqa: E402
from test_opcua import UaClient, UaError, users_file  # noqa: E402
from test_sparkplug import Host  # noqa: E402
from test_web import make_certificate, trusting  # noqa: E402
import soak_plot  # noqa: E402
import paho.mqtt.client as mqtt  # noqa: E402
from paho.mqtt.packettypes import PacketTypes  # noqa: E402
from paho.mqtt.properties import Properties  # noqa: E402

PREFIX = "krandolix/plant"
FIRST_COM = 1  # (the gateway's own [ports] links: no other user of these numbers sees them)
FINAL = ("done", "no_reply", "timeout", "cancelled")
# which client writes which output bit, so that every output has one writer
# and its outcomes one order: MQTT O0-O1, OPC UA O2-O3, Modbus O4-O5, the page O6, Sparkplug O7
BITS = {"mqtt": (0, 1), "opcua": (2, 3), "modbus": (4, 5), "web": (6,), "sparkplug": (7,)}
WAYS = ("mqtt", "opcua", "modbus", "web", "metrics")


def say(text):
    print(f"[{time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)


def percentile(values, p):
    """(NaN for no values: a way in that went silent fails its comparison)"""
    if not values:
        return float("nan")
    s = sorted(values)
    return s[min(len(s) - 1, int(p / 100 * len(s)))]


def tail(values):
    """A window's p99, but never above its fourth-highest value: in a short run's
    30 samples the p99 is the highest, and one late sample is not a trend."""
    if not values:
        return float("nan")
    s = sorted(values)
    return s[max(0, min(int(0.99 * len(s)), len(s) - 4))]


class Plant:
    """The broker, one mcsim a channel, the driver's files, the gateway's TOML and its users."""

    def __init__(self, d, channels, stations):
        self.d = d
        self.channels = [f"Line{c + 1}" for c in range(channels)]
        # the first line's stations have Korean names, as plants name them
        self.stations = {ch: [(("펌프" if c == 0 else "P") + str(n), n) for n in range(1, stations + 1)]
                         for c, ch in enumerate(self.channels)}
        # (Nagle's algorithm on the broker's side would add 40 ms to QoS 2's handshakes: plants set it off)
        self.broker = Broker(d, extra="allow_anonymous true\nset_tcp_nodelay true\n"
                             + os.environ.get("SOAK_BROKER_EXTRA", ""))
        self.broker.start()
        self.sims = {}
        for c, ch in enumerate(self.channels):
            self.sims[ch] = Sim(d, os.path.join(d, "line" + str(c + 1)),
                                [f"{n}:0x00:toggle" for n in range(1, stations + 1)], name="sim" + str(c + 1))
            channel_config(os.path.join(d, ch + ".cfg"), FIRST_COM + c, self.stations[ch], retries=0)
        self.tags_file = os.path.join(d, self.channels[-1] + ".tags")
        self.write_tags(renamed=False)
        self.users = users_file(d, [("otto", "operator", "op-pass"), ("vera", "viewer", "view-pass"),
                                    ("ada", "admin", "ad-pass")])
        self.cert, key = make_certificate(d, "web", "localhost")
        self.ports = {k: free_port() for k in ("web", "modbus", "metrics", "opcua")}
        self.toml = (
            f'[gateway]\nid = "plant"\nstatus_interval = 5\n\n'
            f'[broker]\nhost = "127.0.0.1"\nport = {self.broker.port}\nkeepalive = 5\n\n'
            "[ports]\n" + "".join(f'COM{FIRST_COM + c} = "{self.sims[ch].link}"\n'
                                  for c, ch in enumerate(self.channels)) + "\n"
            f'[web]\nport = {self.ports["web"]}\nusers_file = "{self.users}"\n'
            f'cert_file = "{self.cert}"\nkey_file = "{key}"\n\n'
            f'[modbus]\nport = {self.ports["modbus"]}\nmax_clients = 16\n\n'
            f'[metrics]\nport = {self.ports["metrics"]}\n\n'
            f'[history]\npath = "{d}/history.db"\nvalues = true\n\n'
            f'[opcua]\nport = {self.ports["opcua"]}\ntrust_dir = "{d}/pki"\n'
            "max_monitored_items = 2000\n\n"  # (every tag of the plant in one subscription)
            f'[sparkplug]\ngroup_id = "Plant"\nstate_dir = "{d}/sparkplug"\n\n'
            + "".join(f'[[channel]]\nname = "{ch}"\nconfig = "{ch}.cfg"\n'
                      + (f'tags = "{self.tags_file}"\n' if ch == self.channels[-1] else "") + "\n"
                      for ch in self.channels))
        self.notify = os.path.join(d, "notify")
        self.gw = Gateway(d, self.toml, env={"NOTIFY_SOCKET": self.notify, "WATCHDOG_USEC": "2000000"})

    def write_tags(self, renamed):
        """Every tag of the last line; renamed: its last station's I7 under a name of its own."""
        ch = self.channels[-1]
        with open(self.tags_file, "w", encoding="utf-8") as f:
            for name, _ in self.stations[ch]:
                for kind in "IO":
                    for bit in range(8):
                        tag = f"{name}/{kind}{bit}"
                        if renamed and name == self.stations[ch][-1][0] and kind == "I" and bit == 7:
                            tag = f"{name}/경보"
                        f.write(f"{tag}={ch}.{name}:{kind}{bit}\n")

    def outputs(self, bits):
        return [(ch, name, bit) for ch in self.channels for name, _ in self.stations[ch] for bit in bits]

    def stop(self):
        self.gw.stop()
        for s in self.sims.values():
            s.stop()
        self.broker.stop()


class Https:
    """The page's API over HTTPS, as one user."""

    def __init__(self, plant, user, password):
        self.base = f"https://127.0.0.1:{plant.ports['web']}"
        self.ctx = trusting(plant.cert)
        self.ctx.check_hostname = False
        self.auth = "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()

    def request(self, method, path, body=None, headers=None, timeout=60):
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(self.base + path, data=data, method=method,
                                     headers={"Authorization": self.auth, "Content-Type": "application/json",
                                              **(headers or {})})
        try:
            with urllib.request.urlopen(req, timeout=timeout, context=self.ctx) as r:
                return r.status, json.loads(r.read() or b"null"), r.headers
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read() or b"null"), e.headers

    def open(self, path, timeout=30):
        req = urllib.request.Request(self.base + path, headers={"Authorization": self.auth})
        return urllib.request.urlopen(req, timeout=timeout, context=self.ctx)


class Mqtt:
    """An MQTT 5 client whose session outlives a broker restart (the broker keeps it)."""

    def __init__(self, port, name, topics, on_message):
        self.topics = topics
        self.client = mqtt.Client(client_id=f"soak-{name}-{os.getpid()}", protocol=mqtt.MQTTv5)
        self.client.on_message = lambda c, u, m: on_message(m)
        self.client.on_connect = self._connected
        props = Properties(PacketTypes.CONNECT)
        props.SessionExpiryInterval = 3600
        self.client.reconnect_delay_set(0.2, 1)
        self.client.connect("127.0.0.1", port, clean_start=False, properties=props)
        self.client.loop_start()

    def _connected(self, client, userdata, flags, rc, properties=None):
        for t in self.topics:
            client.subscribe(t, qos=2)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


class Load:
    """Every client the plant runs, each on threads of its own, and what each was told."""

    def __init__(self, plant, seconds):
        self.p = plant
        self.seconds = seconds
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.latency = {w: [] for w in WAYS}    # (time, seconds)
        self.writes = []                        # dicts: origin, channel, station, bit, tag, told
        self.errors = []
        self.states = {}                        # (channel, station) -> [states the subscriber saw]
        self.mqtt_messages = 0
        self.stream_events = [0] * 20
        self.modbus_exceptions = 0
        self.pending = {}                       # MQTT: correlation -> write
        self.threads = []
        self.t0 = time.monotonic()

    def now(self):
        return time.monotonic() - self.t0

    def note(self, way, seconds):
        with self.lock:
            self.latency[way].append((self.now(), seconds))

    def error(self, text):
        with self.lock:
            if len(self.errors) < 200:
                self.errors.append(f"{self.now():.0f} s: {text}")

    def spawn(self, target, *args):
        t = threading.Thread(target=self.guard, args=(target, *args), daemon=True)
        t.start()
        self.threads.append(t)

    def guard(self, target, *args):
        try:
            target(*args)
        except Exception as e:  # noqa: BLE001 (a client's fault is reported, not fatal)
            self.error(f"{target.__name__}: {e!r}")

    def every(self, seconds, jitter=0.0):
        """Sleeps until the next tick; False once the load stops."""
        return not self.stop.wait(seconds + random.uniform(0, jitter))

    # ---- MQTT: a subscriber on everything, a writer with response topics ----

    def start_mqtt(self):
        self.sub = Mqtt(self.p.broker.port, "all", ["#"], self.on_any)
        self.writer = Mqtt(self.p.broker.port, "writer", ["soak/replies"], self.on_reply)
        self.spawn(self.mqtt_writes)

    def on_any(self, m):
        with self.lock:
            self.mqtt_messages += 1
        parts = m.topic.split("/")
        if len(parts) == 5 and parts[3] == "station" and m.topic.startswith(PREFIX):
            try:
                state = json.loads(m.payload)["state"]
            except (ValueError, KeyError, TypeError):
                self.error(f"a station's state that is not JSON: {m.payload[:80]!r}")
                return
            with self.lock:
                seen = self.states.setdefault((parts[2], parts[4]), [])
                if not seen or seen[-1] != state:
                    seen.append(state)

    def on_reply(self, m):
        props = getattr(m, "properties", None)
        key = getattr(props, "CorrelationData", None) if props else None
        answer = json.loads(m.payload)
        with self.lock:
            w = self.pending.get(key)
            if w is None:
                return
            if answer["result"] == "queued":
                if "queued" not in w:
                    w["queued"] = self.now()
                    self.latency["mqtt"].append((w["queued"], w["queued"] - w["sent"]))
                return
            if "told" in w:
                self.errors.append(f"a second outcome for {w}: {answer}")
            w["told"] = answer["result"]
            del self.pending[key]

    def mqtt_writes(self):
        outputs = self.p.outputs(BITS["mqtt"])
        n = 0
        while self.every(1.0):
            ch, st, bit = random.choice(outputs)
            n += 1
            key = f"w{n}".encode()
            w = {"origin": "mqtt", "channel": ch, "station": st, "bit": bit, "sent": self.now()}
            props = Properties(PacketTypes.PUBLISH)
            props.ResponseTopic = "soak/replies"
            props.CorrelationData = key
            with self.lock:
                self.pending[key] = w
                self.writes.append(w)
            self.writer.client.publish(f"{PREFIX}/{ch}/{st}/O{bit}/set", "1", qos=1 + n % 2, properties=props)

    # ---- OPC UA: every tag subscribed, writes answered Good and told by LastResult ----

    def start_opcua(self):
        self.ua = UaClient(self.p.d, "soak-ua")
        self.ua_lock = threading.Lock()
        self.ua.connect(f"opc.tcp://127.0.0.1:{self.p.ports['opcua']}", user="otto", password="op-pass")
        nodes = [f"ns=1;s={ch}.{st}.{st}/{kind}{bit}" for ch in self.p.channels for st, _ in self.p.stations[ch]
                 for kind in "IO" for bit in range(8)]
        results = [f"ns=1;s={ch}.{st}.{st}/O{bit}/LastResult" for ch, st, bit in self.p.outputs(BITS["opcua"])]
        self.ua.ask("subscribe", timeout=300, nodes=nodes + results, publishing=100, sampling=0, queue=100)
        refused = [c for c in self.ua.changes if "error" in c]
        if refused:
            self.error(f"OPC UA: {len(refused)} monitored items refused: {refused[:2]}")
        self.spawn(self.opcua_writes)
        self.spawn(self.opcua_reads)

    def ua_ask(self, op, **args):
        with self.ua_lock:  # (the client answers one request at a time, in order)
            return self.ua.ask(op, **args)

    def opcua_reads(self):
        """A panel's refresh: one station's inputs read, timed"""
        stations = [(ch, st) for ch in self.p.channels for st, _ in self.p.stations[ch]]
        while self.every(self.probe_period()):
            ch, st = random.choice(stations)
            started = time.monotonic()
            try:
                self.ua_ask("read", nodes=[f"ns=1;s={ch}.{st}.{st}/I{b}" for b in range(8)])
            except Exception as e:  # noqa: BLE001
                self.error(f"OPC UA read: {e}")
                continue
            self.note("opcua", time.monotonic() - started)

    def opcua_writes(self):
        outputs = self.p.outputs(BITS["opcua"])
        while self.every(2.0):
            ch, st, bit = random.choice(outputs)
            node = f"ns=1;s={ch}.{st}.{st}/O{bit}"
            with self.ua.lock:
                seen = len(self.ua.changes)
            w = {"origin": "opcua", "channel": ch, "station": st, "bit": bit, "sent": self.now()}
            with self.lock:
                self.writes.append(w)
            try:
                status = self.ua_ask("write", node=node, value=True)
            except (UaError, Exception) as e:  # noqa: BLE001
                w["told"] = "error " + str(e)[:60]
                continue
            if status != "Good":
                w["told"] = status
                continue
            # its LastResult: queued, then the outcome (the output has no other writer)
            def outcome():
                nonlocal seen
                with self.ua.lock:
                    new = self.ua.changes[seen:]
                seen += len(new)
                return next((c["value"] for c in new
                             if c["node"] == node + "/LastResult" and c.get("value") in FINAL), None)
            w["told"] = wait_until(outcome, 60, 0.05) or "no outcome told"

    # ---- Modbus: four pollers at 10 Hz, one writer ----

    def start_modbus(self):
        for i in range(4):
            self.spawn(self.modbus_poll, i)
        self.spawn(self.modbus_writes)

    def modbus_connect(self):
        while not self.stop.is_set():
            try:
                s = socket.create_connection(("127.0.0.1", self.p.ports["modbus"]), 5)
                s.settimeout(10)
                return s
            except OSError:
                time.sleep(0.5)
        return None

    def modbus_poll(self, i):
        s, tid = self.modbus_connect(), 0
        count = len(self.p.stations[self.p.channels[0]])
        while s and self.every(0.1):
            unit = (tid + i) % len(self.p.channels) + 1
            tid = tid % 60000 + 1
            started = time.monotonic()
            try:
                fn, data = modbus_request(s, unit, 2, struct.pack(">HH", 0, 8 * count), tid=tid)
                # (a read takes 125 registers at most: seven stations' 16)
                fn4, _ = modbus_request(s, unit, 4, struct.pack(">HH", 0, 16 * min(count, 7)), tid=tid)
            except OSError as e:
                self.error(f"modbus poller {i}: {e!r}")
                s.close()
                s = self.modbus_connect()
                continue
            self.note("modbus", time.monotonic() - started)
            if fn not in (2, 0x82) or fn4 not in (4, 0x84):
                self.error(f"modbus poller {i}: unit {unit} answered {fn:#x} {data.hex()}, {fn4:#x}")
            elif fn == 0x82 or fn4 == 0x84:
                with self.lock:
                    self.modbus_exceptions += 1

    def modbus_writes(self):
        s, tid = self.modbus_connect(), 0
        outputs = self.p.outputs(BITS["modbus"])
        while s and self.every(2.0):
            ch, st, bit = random.choice(outputs)
            unit = self.p.channels.index(ch) + 1
            position = [name for name, _ in self.p.stations[ch]].index(st)
            tid += 1
            w = {"origin": "modbus", "channel": ch, "station": st, "bit": bit, "sent": self.now()}
            with self.lock:
                self.writes.append(w)
            try:
                fn, data = modbus_request(s, unit, 5, struct.pack(">HH", 8 * position + bit, 0xFF00), tid=tid)
            except OSError as e:
                w["told"] = "error " + repr(e)
                s.close()
                s = self.modbus_connect()
                continue
            # queued, or an exception: busy (6), refused (4); the outcome is the history's
            w["told"] = "queued" if fn == 5 else {6: "busy", 4: "refused"}.get(data[0], f"exception {data[0]}")

    # ---- the page: 20 event streams, a writer, the state read each second ----

    def start_web(self):
        self.viewer = Https(self.p, "vera", "view-pass")
        self.operator = Https(self.p, "otto", "op-pass")
        self.admin = Https(self.p, "ada", "ad-pass")
        self.streams = []
        for i in range(20):
            self.spawn(self.stream, i)
        self.spawn(self.web_writes)
        self.spawn(self.web_state)

    def stream(self, i):
        while not self.stop.is_set():
            try:
                with self.viewer.open("/api/events", timeout=30) as r:
                    with self.lock:
                        self.streams.append(r)
                    for raw in r:
                        if raw.startswith(b"event: "):
                            self.stream_events[i] += 1
                        if self.stop.is_set():
                            break
            except (OSError, ValueError, AttributeError) as e:
                if not self.stop.is_set():
                    self.error(f"event stream {i}: {e!r}")
                    time.sleep(1)

    def web_writes(self):
        outputs = self.p.outputs(BITS["web"])
        while self.every(2.0):
            ch, st, bit = random.choice(outputs)
            w = {"origin": "web", "channel": ch, "station": st, "bit": bit, "sent": self.now()}
            with self.lock:
                self.writes.append(w)
            status, answer, _ = self.operator.request("POST", "/api/write",
                                                      {"channel": ch, "tag": f"{st}/O{bit}", "value": 1})
            w["told"] = answer.get("result", f"HTTP {status}") if isinstance(answer, dict) else f"HTTP {status}"

    def web_state(self):
        while self.every(self.probe_period()):
            started = time.monotonic()
            status, state, _ = self.viewer.request("GET", "/api/state", timeout=30)
            if status == 200:
                self.note("web", time.monotonic() - started)
            else:
                self.error(f"/api/state: {status}")

    # ---- Sparkplug: a host that checks every message and sends DCMDs ----

    def start_sparkplug(self):
        self.host = Host(self.p.d, self.p.broker.port, name="soak-host", node="spBv1.0/Plant/{}/plant")
        # a host that comes after the node's birth asks for it again, as Ignition does
        self.host.command(None, [{"name": "Node Control/Rebirth", "type": "Boolean", "value": True}])
        self.spawn(self.sparkplug_writes)

    def sparkplug_writes(self):
        outputs = self.p.outputs(BITS["sparkplug"])
        while self.every(3.0):
            ch, st, bit = random.choice(outputs)
            w = {"origin": "sparkplug", "channel": ch, "station": st, "bit": bit, "sent": self.now(),
                 "told": "sent"}
            with self.lock:
                self.writes.append(w)
            self.host.command(f"{ch}.{st}", [{"name": f"{st}/O{bit}", "type": "Boolean", "value": True}], qos=1)

    # ---- Prometheus's scrape each second, and the field: inputs that change ----

    def start_rest(self):
        self.spawn(self.scrape)
        self.spawn(self.field)
        self.spawn(self.keep_gc_short)

    def keep_gc_short(self):
        """What this program keeps (every message, every change) out of Python's collections, so
        that their pauses, growing with it, are not read as the gateway's latency"""
        while self.every(5.0):
            gc.freeze()

    def probe_period(self):
        """Prometheus's second; four times as often in a short run, for enough samples a tenth"""
        return 1.0 if self.seconds >= 900 else 0.25

    def scrape(self):
        while self.every(self.probe_period()):
            started = time.monotonic()
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{self.p.ports['metrics']}/metrics", timeout=30) as r:
                    r.read()
                self.note("metrics", time.monotonic() - started)
            except OSError as e:
                self.error(f"scrape: {e!r}")

    def field(self):
        """A few inputs change each second somewhere on the plant (the high nibble: the outputs'
        toggles move the low one)."""
        while self.every(0.25):
            ch = random.choice(self.p.channels)
            _, number = random.choice(self.p.stations[ch])
            try:
                self.p.sims[ch].cmd(f"status {number} {random.randrange(16) << 4:#04x}")
            except OSError:
                pass

    def close(self):
        self.stop.set()
        with self.lock:
            streams = list(self.streams)
        for s in streams:
            try:
                s.close()
            except (OSError, AttributeError):
                pass
        for t in self.threads:
            t.join(70)
        self.sub.close()
        self.writer.close()
        with self.ua.lock:
            refused = [c for c in self.ua.changes if "error" in c]
        if refused:
            self.error(f"OPC UA: {len(refused)} monitored items failed: {refused[:2]}")
        self.ua.close()
        self.host.close()


class Watchdog:
    """The gateway's notifications: READY once, WATCHDOG=1 every so often."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.2)
        self.pings, self.ready = [], False
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.listen, daemon=True)
        self.thread.start()

    def listen(self):
        while not self.stop.is_set():
            try:
                words = self.sock.recv(4096).decode().split("\n")
            except socket.timeout:
                continue
            self.ready = self.ready or "READY=1" in words
            if "WATCHDOG=1" in words:
                self.pings.append(time.monotonic())

    def close(self):
        self.stop.set()
        self.thread.join(2)
        self.sock.close()


def kinds_of(names):
    """Descriptors by kind (sockets, pipes, terminals, files...); the history's database files left
    out: its reader and checkpointer connect on first use and stay"""
    kinds = {}
    for n in names:
        if ".db" in n and "history" in n:
            continue
        kind = n.split(":")[0] if ":" in n else ("/dev/pts" if n.startswith("/dev/pts") else n)
        kinds[kind] = kinds.get(kind, 0) + 1
    return kinds


def proc_figures(pid):
    """CPU seconds, RSS in KB, open descriptors and threads of a process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    rss = threads = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    return cpu, rss, len(os.listdir(f"/proc/{pid}/fd")), threads


def metrics(plant):
    with urllib.request.urlopen(f"http://127.0.0.1:{plant.ports['metrics']}/metrics", timeout=30) as r:
        text = r.read().decode()
    out = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            out[name] = float(value)
    return out


class Faults:
    """The plant's bad moments, each at its share of the run."""

    def __init__(self, plant, load, seconds):
        self.p, self.load, self.seconds = plant, load, seconds
        self.done = []          # (time, what, how it went)
        self.hangups = []       # (channel, time) of lines lost
        self.spans = []         # (from, to): each fault's effects
        self.broker_away_spans = []
        self.began = 0
        self.thread = threading.Thread(target=load.guard, args=(self.run,), daemon=True)

    def at(self, share):
        if self.load.stop.wait(max(0, share * self.seconds - self.load.now())):
            return False
        self.began = self.load.now()
        return True

    def log(self, what, ok, detail="", lasting=0):
        self.done.append((round(self.began, 1), what, "ok" if ok else "FAILED " + detail))
        # while its effects last (and 10 s after), the latency is the fault's, not the gateway's wear
        self.spans.append((self.began, max(self.load.now(), self.began + lasting) + 10))
        say(f"fault: {what}: {'ok' if ok else 'FAILED ' + detail}")

    def reload(self, what):
        before = self.p.gw.text().count("reloaded:")
        self.p.gw.signal(signal.SIGHUP)
        ok = wait_until(lambda: self.p.gw.text().count("reloaded:") > before, 120, 0.2)
        self.log(what, ok, self.p.gw.text()[-300:])

    def rounds(self):
        """When the faults come: once in the first half of a short run, the first half's
        figures being the warm-up; twice in a long one (the second round tells whether a
        fault leaves anything behind)."""
        return [(0.05, 0.45)] if self.seconds < 900 else [(0.05, 0.40), (0.50, 0.85)]

    def warmup(self):
        return 0.5 * self.seconds if self.seconds < 900 else 0.45 * self.seconds

    def run(self):
        steps = [self.line_lost, self.silence, self.broker_away, self.reload_changed, self.reload_broken,
                 self.scan, self.save]
        for r, (a, b) in enumerate(self.rounds()):
            for i, step in enumerate(steps):
                if not self.at(a + (b - a) * i / (len(steps) - 1)):
                    return
                step(r)

    def line_lost(self, r):
        ch = self.p.channels[1 % len(self.p.channels)]
        self.hangups.append((ch, time.time()))
        answer = self.p.sims[ch].cmd("hangup")
        self.log(f"{ch}'s line lost and back", answer.startswith("ok"), answer)

    def silence(self, r):
        ch = self.p.channels[2 % len(self.p.channels)]
        self.p.sims[ch].cmd("fault 3 silent on")
        self.log(f"{ch}'s station 3 silent for 30 s", True, lasting=30)
        self.load.stop.wait(30)
        self.p.sims[ch].cmd("fault 3 silent off")

    def broker_away(self, r):
        self.p.broker.stop()
        self.load.stop.wait(5)
        self.p.broker.start()
        self.broker_away_spans.append((self.began - 1, self.load.now() + 5))
        self.log("the broker restarted after 5 s away", True)

    def reload_changed(self, r):
        self.p.write_tags(renamed=r % 2 == 0)
        self.reload(f"a reload with {self.p.channels[-1]}'s tags changed")

    def reload_broken(self, r):
        gw = self.p.gw
        good = open(gw.path).read()
        gw.write(good.replace("[modbus]", "[modbus\n", 1))
        before = gw.text().count("reload refused")
        gw.signal(signal.SIGHUP)
        ok = wait_until(lambda: gw.text().count("reload refused") > before, 30, 0.2)
        gw.write(good)
        self.log("a reload of a broken file, refused", ok)

    def scan(self, r):
        ch = self.p.channels[-2 % len(self.p.channels)]
        status, answer, _ = self.load.admin.request("POST", f"/api/channels/{ch}/scan",
                                                    {"from": 100, "to": 104, "timeout_ms": 100}, timeout=120)
        self.log(f"a scan of {ch} from the page", status == 200, f"{status} {answer}")

    def save(self, r):
        ch = self.p.channels[-3 % len(self.p.channels)]
        status, settings, headers = self.load.admin.request("GET", f"/api/channels/{ch}/settings")
        settings["stations"][0]["period_ms"] = 250 if r % 2 == 0 else 200
        status, answer, _ = self.load.admin.request("PUT", f"/api/channels/{ch}/settings", settings,
                                                    {"If-Match": headers["ETag"]}, timeout=120)
        self.log(f"{ch}'s settings saved from the page", status == 200, f"{status} {answer}")


def history(plant, kind):
    """Every event of a kind, oldest first."""
    admin, events, before = Https(plant, "ada", "ad-pass"), [], None
    while True:
        status, page, _ = admin.request("GET", f"/api/history?kind={kind}&limit=1000"
                                        + (f"&before={before}" if before else ""))
        assert status == 200, (status, page)
        events += page["events"]
        if len(page["events"]) < 1000:
            return events[::-1]
        before = page["events"][-1]["id"]


def control_frames(sim):
    """The control frames a simulator took, in order: (station, data, answered, time)."""
    frames, last = [], None
    with open(sim.log_path, encoding="utf-8", errors="replace") as f:
        for line in f:
            words = line.split()
            if "<-" in words and "control" in words:
                i = words.index("control")
                last = [int(words[i + 1]), int(words[i + 3], 16), True, words[0]]
                frames.append(last)
            elif "<-" in words:
                last = None  # a poll, or bytes that are no frame
            elif last and line.rstrip().endswith(f"(station {last[0]} silent)"):
                last[2] = False
    return frames


class Verdict:
    def __init__(self):
        self.failures, self.lines = [], []

    def check(self, ok, what, detail=""):
        self.lines.append(("ok  " if ok else "FAIL") + "  " + what)
        if not ok:
            self.failures.append(f"{what}: {detail}"[:2000])


def check_writes(v, plant, load, faults):
    """Each output's frames on the line against the outcomes its one writer was told."""
    events = history(plant, "write")
    recorded = {}
    for e in events:
        recorded.setdefault((e["origin"], e["channel"], e["tag"]), []).append(e["result"])
    told = {}
    for w in load.writes:
        told.setdefault((w["origin"], w["channel"], f"{w['station']}/O{w['bit']}"), []).append(w.get("told"))
    # what the clients that hear the outcome were told is what the history holds
    mismatch = []
    for key, outcomes in told.items():
        if key[0] in ("mqtt", "web", "opcua"):
            finals = [o for o in outcomes if o in FINAL]
            if finals != [r for r in recorded.get(key, []) if r in FINAL]:
                mismatch.append((key, finals, recorded.get(key)))
    v.check(not mismatch, "the history holds every write's outcome as its client was told it", mismatch[:5])
    untold = [w for w in load.writes if w.get("told") in (None, "no outcome told") or str(w.get("told")).startswith("error")]
    # an MQTT command published while the broker went away that the gateway never saw (no
    # outcome in the history, no frame: checked below) was lost between the client and the
    # broker, not by the gateway; it is counted, not failed
    unsent = [w for w in untold if w["origin"] == "mqtt" and w.get("told") is None
              and any(a <= w["sent"] <= b for a, b in faults.broker_away_spans)]
    untold = [w for w in untold if w not in unsent]
    v.check(not untold, "every write was told an outcome"
            + (f" ({len(unsent)} MQTT commands published as the broker went away never reached it)" if unsent else ""),
            untold[:5])
    # the outcomes by output, as the history has them (the same as the clients were told,
    # above; Modbus and Sparkplug hear no later answer) and when
    outcomes, lost_line = {}, {}
    for e in events:
        outcomes.setdefault((e["channel"], e["tag"]), []).append(e["result"])
        at = datetime.datetime.strptime(e["time"], "%Y-%m-%dT%H:%M:%S.%fZ").replace(
            tzinfo=datetime.timezone.utc).timestamp()
        # a command sent as its line hung up went nowhere: no reply, and truly none
        if e["result"] == "no_reply" and any(c == e["channel"] and -2 < at - t < 15 for c, t in faults.hangups):
            lost_line[e["channel"]] = lost_line.get(e["channel"], 0) + 1
    wrong = []
    frames_total = answered_total = 0
    for ch in plant.channels:
        names = dict((n, name) for name, n in plant.stations[ch])
        by_output = {}
        for number, data, answered, _ in control_frames(plant.sims[ch]):
            bit = data.bit_length() - 1
            by_output.setdefault(f"{names[number]}/O{bit}", []).append(answered)
        lost_lines = sum(1 for c, _ in faults.hangups if c == ch)
        unsent = lost_line.get(ch, 0)
        for tag in set(by_output) | {t for c, t in outcomes if c == ch}:
            frames = by_output.get(tag, [])
            got = outcomes.get((ch, tag), [])
            done, no_reply = got.count("done"), got.count("no_reply")
            frames_total += len(frames)
            answered_total += sum(frames)
            # a frame answered as the line hung up may have lost its reply: no_reply, truly
            short = done + no_reply - len(frames)
            if not 0 <= short <= unsent or not (sum(frames) - lost_lines <= done <= sum(frames)):
                wrong.append((ch, tag, f"{len(frames)} frames, {sum(frames)} answered", got))
            unsent -= max(0, short)
    v.check(not wrong, f"each write acted once: {frames_total} control frames ({answered_total} answered) "
            f"for {sum(len(o) for o in outcomes.values())} outcomes; done only where the controller answered",
            wrong[:10])
    return events


def check_states(v, plant, load):
    """Every station state the subscriber saw is in the history, in the same order."""
    events = history(plant, "station")
    def changes(states):
        """(the history keeps no "unknown": a channel started anew is its stations' first answer)"""
        out = []
        for s in states:
            if s in ("ok", "fault", "disabled") and (not out or out[-1] != s):
                out.append(s)
        return out
    recorded = {}
    for e in events:
        recorded.setdefault((e["channel"], e["station"]), []).append(e["state"])
    recorded = {k: changes(v) for k, v in recorded.items()}
    missing = []
    for key, seen in load.states.items():
        seen = changes(seen)
        it = iter(recorded.get(key, []))
        if not all(any(s == r for r in it) for s in seen):
            missing.append((key, seen, recorded.get(key)))
    count = sum(max(0, len(changes(s)) - 1) for s in load.states.values())
    v.check(not missing, f"the history holds every station state the subscriber saw ({count} changes)", missing[:5])


def check_sparkplug(v, host):
    messages = host.sparkplug()
    first = next((i for i, m in enumerate(messages) if m["type"] == "NBIRTH"), len(messages))
    messages = messages[first:]
    gaps, undeclared, declared, last = [], 0, set(), None
    for m in messages:
        if m["type"] == "NDEATH":
            continue
        seq = m["payload"].get("seq")
        if m["type"] == "NBIRTH":
            declared = {x["alias"] for x in m["payload"]["metrics"]}
            if seq != 0:
                gaps.append(("NBIRTH", seq))
        elif last is not None and seq != (last + 1) % 256:
            gaps.append((m["type"], last, seq))
        if m["type"] == "DBIRTH":
            declared |= {x["alias"] for x in m["payload"]["metrics"]}
        elif m["type"] == "DDATA":
            undeclared += sum(1 for x in m["payload"]["metrics"] if x.get("alias") not in declared)
        last = seq
    v.check(not host.undecodable and not gaps and not undeclared,
            f"Sparkplug: {len(messages)} messages decode, seq continuous, every alias born first",
            (host.undecodable[:3], gaps[:5], undeclared))


def run(args):
    gwtest.BIN = args.bin
    seconds = args.minutes * 60
    d = args.out or tempfile.mkdtemp(prefix="soak-gateway.")
    os.makedirs(d, exist_ok=True)
    say(f"a day on the plant for {args.minutes} min in {d}: {args.channels} channels of {args.stations} stations")
    plant = Plant(d, args.channels, args.stations)
    try:
        watchdog = Watchdog(plant.notify)
    except OSError:
        plant.stop()  # (its broker and simulators would outlive this run)
        raise
    plant.gw.start()
    v = Verdict()
    try:
        ok = wait_until(lambda: "opcua: opc.tcp://" in plant.gw.text() and watchdog.ready, 60)
        assert ok, plant.gw.text()[-2000:]
        time.sleep(3)
        pid = plant.gw.proc.pid
        # (what opens on first use and stays: the history's reader)
        history(plant, "gateway")
        _, _, fds0, threads0 = proc_figures(pid)
        port_names = {port: name for name, port in plant.ports.items()}
        port_names[plant.broker.port] = "broker"
        kinds0, tcp0 = kinds_of(descriptors(pid)), sockets_of(pid, port_names)
        load = Load(plant, seconds)
        load.start_mqtt()
        load.start_web()
        load.start_modbus()
        load.start_sparkplug()
        load.start_rest()
        load.start_opcua()
        say("every client is on")
        load.t0 = time.monotonic()
        faults = Faults(plant, load, seconds)
        faults.thread.start()
        timeline, warm = [], None
        tenth = seconds / 10
        warmup = faults.warmup()
        cpu_last, t_last = proc_figures(pid)[0], load.now()
        while load.now() < seconds:
            time.sleep(min(5, max(0.1, seconds - load.now())))
            cpu, rss, fds, threads = proc_figures(pid)
            t = load.now()
            try:
                sqlite_kb = metrics(plant).get("krandolix_history_memory_bytes", 0) // 1024
            except OSError:
                sqlite_kb = timeline[-1]["sqlite_kb"] if timeline else 0
            timeline.append({"t": round(t, 1), "cpu": round(100 * (cpu - cpu_last) / max(t - t_last, 1e-6), 2),
                             "rss_kb": rss, "sqlite_kb": sqlite_kb, "fds": fds, "threads": threads})
            cpu_last, t_last = cpu, t
            if warm is None and t >= warmup:
                warm = (rss, cpu, t, sqlite_kb)
            if int(t) % 60 < 5:
                say(f"{t:.0f} s: CPU {timeline[-1]['cpu']:.1f} %, RSS {rss} KB, {fds} fds, {threads} threads, "
                    f"{len(load.writes)} writes, {len(load.errors)} client errors")
        end_rss, end_sqlite, end_cpu = timeline[-1]["rss_kb"], timeline[-1]["sqlite_kb"], proc_figures(pid)[0]
        faults.thread.join(150)
        load.close()
        say("the clients have gone; checking")
        expected = 7 * len(faults.rounds())
        v.check(len(faults.done) == expected and all(f[2] == "ok" for f in faults.done),
                f"every fault happened and went as it should ({len(faults.done)} of {expected})", faults.done)
        check_writes(v, plant, load, faults)
        check_states(v, plant, load)
        check_sparkplug(v, load.host)
        v.check(not load.errors, "no client saw an error", load.errors[:10])
        # nothing left over
        def settled():
            threads = proc_figures(pid)[3]
            m = metrics(plant)
            kinds = kinds_of(descriptors(pid))
            leftovers = {k: kinds.get(k, 0) - kinds0.get(k, 0) for k in set(kinds) | set(kinds0)}
            leftovers = {k: v for k, v in leftovers.items() if v > 0}
            if "socket" in leftovers:
                leftovers["tcp now"] = sockets_of(pid, port_names)
                leftovers["tcp before"] = tcp0
            leftovers.update({"threads": threads - threads0,
                              "opcua sessions": m.get("krandolix_opcua_sessions", 0),
                              "opcua subscriptions": m.get("krandolix_opcua_subscriptions", 0),
                              "event streams": m.get("krandolix_web_event_streams", 0)})
            return leftovers if any(leftovers.values()) else None
        wait_until(lambda: settled() is None, 30, 0.5)
        left = settled()
        v.check(left is None, f"no thread, descriptor, session or stream left over ({threads0} threads, "
                f"{fds0} fds)", left)
        gaps = [b - a for a, b in zip(watchdog.pings, watchdog.pings[1:])]
        v.check(gaps and max(gaps) < 2.0, f"the watchdog never late ({len(watchdog.pings)} times, the longest "
                f"gap {max(gaps or [0]) * 1000:.0f} ms)")
        growth, cache = end_rss - warm[0], end_sqlite - warm[3]
        v.check(growth - max(0, cache) < 1024, f"RSS after warm-up grew {growth} KB ({warm[0]} -> {end_rss} KB), "
                f"{cache} KB of it the history's page caches filling (bounded; {end_sqlite} KB now)")
        figures = {}
        # (30 s windows on two cores shared with every client swing by some 5 ms; 6 minutes' do not)
        slack = 1.0 if seconds >= 900 else 5.0
        for way in WAYS:
            calm = [(t, s) for t, s in load.latency[way] if not any(a <= t <= b for a, b in faults.spans)]
            first = [s for t, s in calm if warmup <= t < warmup + tenth]
            last = [s for t, s in calm if t >= seconds - tenth]
            all_ = [s for _, s in load.latency[way]]
            figures[way] = {"count": len(all_), "p50_ms": 1000 * percentile(all_, 50),
                            "p99_ms": 1000 * percentile(all_, 99),
                            "first_p99_ms": 1000 * tail(first), "last_p99_ms": 1000 * tail(last)}
            f = figures[way]
            v.check(f["last_p99_ms"] <= 1.2 * f["first_p99_ms"] + slack,
                    f"{way}: p99 {f['first_p99_ms']:.1f} ms in the tenth after warm-up, {f['last_p99_ms']:.1f} ms "
                    f"in the last ({f['count']} samples, p50 {f['p50_ms']:.1f} ms)")
        busy = 100 * (end_cpu - warm[1]) / (seconds - warm[2])
        totals = {"minutes": args.minutes, "channels": args.channels, "stations": args.stations,
                  "writes": len(load.writes), "mqtt_messages": load.mqtt_messages,
                  "stream_events": sum(load.stream_events),
                  "modbus_exceptions": load.modbus_exceptions, "sparkplug_messages": len(load.host.sparkplug()),
                  "opcua_changes": len(load.ua.changes), "cpu_percent_after_warmup": round(busy, 2),
                  "rss_kb_warm": warm[0], "rss_kb_end": end_rss, "sqlite_kb_warm": warm[3],
                  "sqlite_kb_end": end_sqlite, "warmup_s": warmup, "fds": fds0, "threads": threads0,
                  "faults": faults.done, "latency": figures,
                  "outcomes": {o: sum(1 for w in load.writes if w.get("told") == o)
                               for o in sorted({str(w.get("told")) for w in load.writes})}}
        # the latency per minute, for the picture
        buckets = []
        step = max(10, seconds / 60)
        for i in range(int(seconds // step) + 1):
            row = {"t": i * step}
            for way in WAYS:
                part = [s for t, s in load.latency[way] if i * step <= t < (i + 1) * step]
                row[way] = 1000 * percentile(part, 99) if part else None
            buckets.append(row)
        with open(os.path.join(d, "soak.json"), "w") as f:
            json.dump({"totals": totals, "timeline": timeline, "latency_p99": buckets, "writes": load.writes,
                       "errors": load.errors}, f, indent=1, ensure_ascii=False)
        soak_plot.draw(os.path.join(d, "soak.svg"), timeline, buckets, WAYS, totals)
        print(json.dumps({k: totals[k] for k in totals if k not in ("faults", "latency")}, ensure_ascii=False))
        for way, f in figures.items():
            print(f"{way:8} {f['count']:7} samples  p50 {f['p50_ms']:7.2f} ms  p99 {f['p99_ms']:7.2f} ms  "
                  f"(after warm-up {f['first_p99_ms']:.2f}, last tenth {f['last_p99_ms']:.2f})")
        print(f"figures and picture: {d}/soak.json, {d}/soak.svg")
    finally:
        watchdog.close()
        plant.stop()
    for line in v.lines:
        print(line)
    for failure in v.failures:
        print("FAILED:", failure, file=sys.stderr)
    if not v.failures and not args.keep and not args.out:
        shutil.rmtree(d, ignore_errors=True)
    return 1 if v.failures else 0


def main():
    a = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    a.add_argument("bin", help="the build's bin folder (drvgw, mcsim, drvcfg)")
    a.add_argument("--minutes", type=float, default=float(os.environ.get("SOAK_MINUTES", 60)))
    a.add_argument("--channels", type=int, default=8)
    a.add_argument("--stations", type=int, default=8)
    a.add_argument("--out", help="keep the logs, soak.json and soak.svg here")
    a.add_argument("--keep", action="store_true", help="keep the scratch folder")
    sys.exit(run(a.parse_args()))


if __name__ == "__main__":
    main()
