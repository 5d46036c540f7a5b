#!/usr/bin/python3
"""drvgw as a Sparkplug B edge node, against a host written on MQTT.js and
Eclipse Tahu's payload codec (npm: a decoder written by others), a real
mosquitto and mcsim on a pseudo-terminal: births, data by exception, deaths,
seq and bdSeq, rebirth, commands and their refusals, the primary host, store
and forward.

Run: test_sparkplug.py BIN_FOLDER   (under Debian's /usr/bin/python3)"""
import base64
import json
import os
import signal
import subprocess
import sys
import threading
import time
import unittest
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gwtest  # noqa: E402
from gwtest import Gateway, free_port, wait_until  # noqa: E402

NODE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "node")
COM = [int(n) for n in os.environ.get("GATEWAY_COMS", "31 32 33").split()]
NODE = "spBv1.0/Plant/{}/ua"


class Host:
    """A Sparkplug host in a node process: every message it sees, decoded."""

    def __init__(self, folder, port, name="host", node=NODE):
        self.node = node
        self.err = open(os.path.join(folder, name + ".err"), "w")
        self.proc = subprocess.Popen(["node", os.path.join(NODE_DIR, "sparkplug_host.js"),
                                      f"mqtt://127.0.0.1:{port}"], cwd=folder, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.err, text=True, encoding="utf-8")
        self.messages, self.undecodable, self.acks = [], [], []
        self.readies = 0
        self.lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()
        assert wait_until(lambda: self.readies > 0, 15), "the host did not connect"

    def _read(self):
        for line in self.proc.stdout:
            try:
                m = json.loads(line)
            except ValueError:
                continue
            with self.lock:
                if "ready" in m:
                    self.readies += 1
                elif "undecodable" in m:
                    self.undecodable.append(m)
                elif "ok" in m or "error" in m:
                    self.acks.append(m)
                else:
                    self.messages.append(m)

    def send(self, **c):
        with self.lock:
            acks = len(self.acks)
        self.proc.stdin.write(json.dumps(c) + "\n")
        self.proc.stdin.flush()
        assert wait_until(lambda: len(self.acks) > acks, 10), c

    def command(self, device, metrics, qos=0):
        topic = self.node.format("DCMD") + "/" + device if device else self.node.format("NCMD")
        self.send(op="publish", topic=topic, payload={"metrics": metrics}, qos=qos)

    def raw(self, device, data):
        self.send(op="publish", topic=self.node.format("DCMD") + "/" + device,
                  raw=base64.b64encode(data).decode())

    def of(self, kind, device=None, after=0):
        with self.lock:
            return [m for m in self.messages[after:] if m["type"] == kind and (device is None or m["device"] == device)]

    def count(self):
        with self.lock:
            return len(self.messages)

    def sparkplug(self, after=0):
        """The node's own messages (not the commands hosts sent it)."""
        with self.lock:
            return [m for m in self.messages[after:] if m["type"] not in ("STATE", "NCMD", "DCMD")]

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        self.err.close()


def metric(payload, name):
    return next((m for m in payload["metrics"] if m.get("name") == name), None)


def aliases(birth):
    return {m["alias"]: m for m in birth["payload"]["metrics"]}


class SparkplugCase(gwtest.OneLine):
    """A broker, mcsim with stations 1 (toggling), 2 and 7, a Sparkplug host, a gateway with [sparkplug]."""

    com = COM[1] if len(COM) > 1 else COM[0]

    def setUp(self):
        super().setUp()
        self.host = Host(self.d, self.broker.port)
        self.metrics_port = free_port()

    def tearDown(self):
        self.host.close()
        super().tearDown()

    def toml(self, extra=""):
        return (f'[gateway]\nid = "ua"\nstatus_interval = 2\n\n'
                f'[broker]\nhost = "127.0.0.1"\nport = {self.broker.port}\nkeepalive = 5\n\n'
                f'[ports]\nCOM{self.com} = "{self.sim.link}"\n\n'
                f'[metrics]\nport = {self.metrics_port}\n\n'
                f'[sparkplug]\ngroup_id = "Plant"\nstate_dir = "{self.d}/sparkplug"\n{extra}\n'
                f'[[channel]]\nname = "Line1"\nconfig = "Line1.cfg"\n')

    def start(self, extra=""):
        self.gw = Gateway(self.d, self.toml(extra)).start()
        self.assertTrue(wait_until(lambda: "sparkplug: edge node Plant/ua" in self.gw.text(), 15), self.gw.text())

    def births(self, after=0, devices=3, seconds=15):
        """The next NBIRTH and its devices' DBIRTHs."""
        self.assertTrue(wait_until(lambda: self.host.of("NBIRTH", after=after), seconds), self.gw.text())
        self.assertTrue(wait_until(lambda: len(self.host.of("DBIRTH", after=after)) >= devices, seconds),
                        (self.host.of("DBIRTH", after=after), self.gw.text()))
        return self.host.of("NBIRTH", after=after)[0], {b["device"]: b for b in self.host.of("DBIRTH", after=after)}

    def figures(self):
        """The node's figures in the metrics ({} while the listener is not up)."""
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{self.metrics_port}/metrics", timeout=5) as r:
                text = r.read().decode()
        except OSError:
            return {}
        out = {}
        for line in text.splitlines():
            if line.startswith("krandolix_sparkplug"):
                name, value = line.rsplit(" ", 1)
                out[name] = float(value)
        return out

    def check_sequence(self, messages):
        """seq one more each message, wrapping after 255; NBIRTH 0; NDEATH none."""
        last = None
        for m in messages:
            if m["type"] == "NDEATH":
                self.assertNotIn("seq", m["payload"])
                continue
            seq = m["payload"]["seq"]
            if m["type"] == "NBIRTH":
                self.assertEqual(seq, 0)
            elif last is not None:
                self.assertEqual(seq, (last + 1) % 256, (m, last))
            last = seq


class Births(SparkplugCase):
    def test_births_data_by_exception_seq_and_rebirth(self):
        self.start()
        nbirth, dbirths = self.births()
        self.assertEqual(nbirth["topic"], NODE.format("NBIRTH"))
        self.assertEqual(nbirth["qos"], 0)
        self.assertFalse(nbirth["retain"])
        self.assertEqual(nbirth["payload"]["seq"], 0)
        bd = metric(nbirth["payload"], "bdSeq")
        self.assertEqual((bd["type"], bd["value"]), ("Int64", 0))
        rebirth = metric(nbirth["payload"], "Node Control/Rebirth")
        self.assertEqual((rebirth["type"], rebirth["value"]), ("Boolean", False))
        self.assertEqual(metric(nbirth["payload"], "Node Info/Version")["value"], gwtest.drvgw_version())
        # a device per station, every metric declared with its type and an alias
        self.assertEqual(sorted(dbirths), ["Line1.P2", "Line1.P7", "Line1.펌프1"])
        p7 = dbirths["Line1.P7"]["payload"]
        types = {m["name"]: m["type"] for m in p7["metrics"]}
        for bit in range(8):
            self.assertEqual(types[f"P7/I{bit}"], "Boolean")
            self.assertEqual(types[f"P7/O{bit}"], "Boolean")
        self.assertEqual([types[n] for n in ("State", "Enabled", "Controls", "Control Failures", "Polls",
                                             "Poll Failures", "Status Byte", "Reset Counters")],
                         ["String", "Boolean", "UInt32", "UInt32", "UInt32", "UInt32", "UInt8", "Boolean"])
        self.assertEqual(metric(p7, "State")["value"], "ok")
        self.assertEqual(metric(p7, "Status Byte")["value"], self.sim.get(7, "status"))
        self.assertEqual(metric(p7, "P7/I7")["value"], True)
        every = [m["alias"] for b in dbirths.values() for m in b["payload"]["metrics"]]
        every += [m["alias"] for m in nbirth["payload"]["metrics"]]
        self.assertEqual(len(every), len(set(every)), "aliases are unique in the node")
        # data by exception: what changed, by alias, with its time
        before = self.host.count()
        self.assertEqual(self.sim.cmd("status 7 0x81"), "ok")
        known = aliases(dbirths["Line1.P7"])
        self.assertTrue(wait_until(lambda: any(
            known.get(m["alias"], {}).get("name") == "P7/I0" and m["value"] is True
            for d in self.host.of("DDATA", "Line1.P7", after=before) for m in d["payload"]["metrics"]), 5))
        data = self.host.of("DDATA", "Line1.P7", after=before)[0]["payload"]["metrics"]
        self.assertEqual({known[m["alias"]]["name"] for m in data}, {"P7/I0", "Status Byte"})
        for m in data:
            self.assertNotIn("name", m)
            self.assertGreater(m["timestamp"], time.time() * 1000 - 10000)
        # seq runs over everything, and wraps: stations 2 and 7 flipping (1 toggles itself)
        stop = threading.Event()

        def flip():
            v = 0
            while not stop.is_set():
                v ^= 0x0F
                self.sim.cmd(f"status 2 {v}")
                self.sim.cmd(f"status 7 {v | 0x80}")
                time.sleep(0.25)
        flipper = threading.Thread(target=flip)
        flipper.start()
        try:
            self.assertTrue(wait_until(lambda: len(self.host.sparkplug()) > 300, 90), len(self.host.sparkplug()))
        finally:
            stop.set()
            flipper.join()
        time.sleep(1)
        messages = self.host.sparkplug()
        self.check_sequence(messages)
        self.assertIn(0, [m["payload"]["seq"] for m in messages[1:]], "the seq wraps after 255")
        # every alias in data was declared in a birth before it
        declared = set()
        for m in messages:
            if m["type"] in ("NBIRTH", "DBIRTH"):
                declared |= {x["alias"] for x in m["payload"]["metrics"]}
            elif m["type"] == "DDATA":
                self.assertTrue({x["alias"] for x in m["payload"]["metrics"]} <= declared, m)
        self.assertEqual(self.host.undecodable, [])
        # a rebirth asked by a host: NBIRTH (seq 0, the same bdSeq) and every DBIRTH again
        before = self.host.count()
        self.host.command(None, [{"name": "Node Control/Rebirth", "type": "Boolean", "value": True}])
        nbirth2, dbirths2 = self.births(after=before)
        self.assertEqual(metric(nbirth2["payload"], "bdSeq")["value"], 0)
        self.assertEqual(sorted(dbirths2), sorted(dbirths))
        self.check_sequence(self.host.sparkplug(before))
        self.assertTrue(wait_until(
            lambda: self.figures()['krandolix_sparkplug_messages_total{type="NBIRTH",way="sent"}'] == 2, 5))
        f = self.figures()
        self.assertEqual(f["krandolix_sparkplug_connected"], 1)
        self.assertEqual(f["krandolix_sparkplug_bdseq"], 0)
        self.assertEqual(f['krandolix_sparkplug_messages_total{type="NBIRTH",way="sent"}'], 2)
        self.assertGreater(f['krandolix_sparkplug_messages_total{type="DDATA",way="sent"}'], 200)


class Commands(SparkplugCase):
    def test_a_command_is_one_control_frame_and_the_rest_refused(self):
        self.start()
        _, dbirths = self.births()
        p2 = aliases(dbirths["Line1.P2"])
        out = next(a for a, m in p2.items() if m["name"] == "P2/O3")
        before = len(self.sim.frames())
        at = self.host.count()
        self.host.command("Line1.P2", [{"name": "P2/O3", "type": "Boolean", "value": True}])
        self.assertTrue(wait_until(lambda: "sparkplug: write Line1/P2/O3: done" in self.gw.text(), 10), self.gw.text())
        time.sleep(0.5)
        self.assertEqual(len(self.sim.frames()) - before, 1, self.sim.frames()[before:])
        # the output told again after its outcome: false (a command is no state)
        self.assertTrue(wait_until(lambda: any(
            m["alias"] == out and m["value"] is False
            for d in self.host.of("DDATA", "Line1.P2", after=at) for m in d["payload"]["metrics"]), 5))
        # by alias as well
        self.host.command("Line1.P2", [{"alias": out, "type": "Boolean", "value": True}])
        self.assertTrue(wait_until(lambda: len(self.sim.frames()) - before == 2, 10))
        # refused: false, another type, an input, a station figure, nothing known; a device unknown
        for metrics in ([{"name": "P2/O3", "type": "Boolean", "value": False}],
                        [{"name": "P2/O3", "type": "Int32", "value": 1}],
                        [{"name": "P2/I0", "type": "Boolean", "value": True}],
                        [{"name": "Polls", "type": "UInt32", "value": 0}],
                        [{"name": "Enabled", "type": "String", "value": "no"}],
                        [{"name": "nothing", "type": "Boolean", "value": True}]):
            self.host.command("Line1.P2", metrics)
        self.host.command("Line1.P9", [{"name": "P2/O3", "type": "Boolean", "value": True}])
        # and what is no Sparkplug payload at all: garbage, truncated, a megabyte
        self.host.raw("Line1.P2", os.urandom(200))
        self.host.raw("Line1.P2", b"\x12\x80\x01\x0a\x05P2/O3")
        big = {"metrics": [{"name": f"m{i}", "type": "String", "value": "x" * 100} for i in range(10000)]}
        self.host.send(op="publish", topic=NODE.format("DCMD") + "/Line1.P2", payload=big)
        self.assertTrue(wait_until(lambda: self.figures().get("krandolix_sparkplug_refused_total", 0) >= 10, 10),
                        self.figures())
        time.sleep(1)
        self.assertEqual(len(self.sim.frames()) - before, 2, self.sim.frames()[before:])
        text = self.gw.text()
        for said in ("no metric \"nothing\"", "\"Polls\" is not writable", "no device Line1.P9",
                     "not a Sparkplug B payload", "a payload of", "refused: sparkplug: write Line1/P2/O3: 0 is no command",
                     "refused: sparkplug: write Line1/P2/O3: a write sends 1"):
            self.assertIn(said, text)
        # the station's own commands: disabled is its death, enabled again its birth
        at = self.host.count()
        self.host.command("Line1.P2", [{"name": "Enabled", "type": "Boolean", "value": False}])
        self.assertTrue(wait_until(lambda: self.host.of("DDEATH", "Line1.P2", after=at), 10), self.gw.text())
        data = [m for d in self.host.of("DDATA", "Line1.P2", after=at) for m in d["payload"]["metrics"]]
        enabled = next(a for a, m in p2.items() if m["name"] == "Enabled")
        self.assertIn((enabled, False), [(m["alias"], m["value"]) for m in data])
        self.host.command("Line1.P2", [{"name": "Enabled", "type": "Boolean", "value": True}])
        self.assertTrue(wait_until(lambda: self.host.of("DBIRTH", "Line1.P2", after=at), 10), self.gw.text())
        reborn = self.host.of("DBIRTH", "Line1.P2", after=at)[0]["payload"]
        self.assertEqual(metric(reborn, "Enabled")["value"], True)
        at = self.host.count()
        controls = next(a for a, m in p2.items() if m["name"] == "Controls")
        self.assertGreaterEqual(metric(reborn, "Controls")["value"], 2)
        self.host.command("Line1.P2", [{"name": "Reset Counters", "type": "Boolean", "value": True}])
        self.assertTrue(wait_until(lambda: "sparkplug: station Line1/P2: reset" in self.gw.text(), 10), self.gw.text())
        self.assertTrue(wait_until(lambda: any(
            m["alias"] == controls and m["value"] == 0
            for d in self.host.of("DDATA", "Line1.P2", after=at) for m in d["payload"]["metrics"]), 10))
        self.check_sequence(self.host.sparkplug())
        self.assertIsNone(self.gw.proc.poll())

    def test_read_only(self):
        self.start("read_only = true\n")
        self.births()
        before = len(self.sim.frames())
        self.host.command("Line1.P2", [{"name": "P2/O3", "type": "Boolean", "value": True}])
        self.assertTrue(wait_until(lambda: "refused: sparkplug: write Line1/P2/O3: the gateway is read-only"
                                   in self.gw.text(), 10), self.gw.text())
        time.sleep(0.5)
        self.assertEqual(len(self.sim.frames()), before)


class Deaths(SparkplugCase):
    def test_bdseq_the_will_and_a_silenced_station(self):
        self.start()
        nbirth, _ = self.births()
        self.assertEqual(metric(nbirth["payload"], "bdSeq")["value"], 0)
        # a station that stops answering dies, and is born again when it is back
        at = self.host.count()
        self.sim.cmd("fault 7 silent on")
        self.assertTrue(wait_until(lambda: self.host.of("DDEATH", "Line1.P7", after=at), 15), self.gw.text())
        self.sim.cmd("fault 7 silent off")
        self.assertTrue(wait_until(lambda: self.host.of("DBIRTH", "Line1.P7", after=at), 15), self.gw.text())
        # killed: the broker says the node's death, with the bdSeq of its birth
        at = self.host.count()
        os.kill(self.gw.proc.pid, signal.SIGKILL)
        self.gw.proc.wait(10)
        self.assertTrue(wait_until(lambda: self.host.of("NDEATH", after=at), 20))
        death = self.host.of("NDEATH", after=at)[0]
        self.assertEqual(metric(death["payload"], "bdSeq")["value"], 0)
        self.assertEqual((death["qos"], death["retain"]), (1, False))
        # started again: bdSeq grows, and births follow
        at = self.host.count()
        self.gw = Gateway(self.d, self.toml()).start()
        nbirth, _ = self.births(after=at)
        self.assertEqual(metric(nbirth["payload"], "bdSeq")["value"], 1)
        # a clean stop says its own death
        at = self.host.count()
        self.gw.stop()
        self.assertTrue(wait_until(lambda: self.host.of("NDEATH", after=at), 10))
        self.assertEqual(metric(self.host.of("NDEATH", after=at)[0]["payload"], "bdSeq")["value"], 1)
        self.gw = None

    def test_the_primary_host(self):
        self.start('primary_host_id = "scada"\n')
        time.sleep(3)
        self.assertEqual(self.host.of("NBIRTH"), [], "no birth before the primary host is online")
        now = int(time.time() * 1000)
        self.host.send(op="state", host="scada", online=True, timestamp=now)
        nbirth, _ = self.births()
        self.assertEqual(metric(nbirth["payload"], "bdSeq")["value"], 0)
        # an offline older than the online it follows: nothing
        at = self.host.count()
        self.host.send(op="state", host="scada", online=False, timestamp=now - 1000)
        time.sleep(2)
        self.assertEqual(self.host.of("NDEATH", after=at), [])
        # offline: the node leaves (the broker tells its death), and waits
        self.host.send(op="state", host="scada", online=False, timestamp=now + 1)
        self.assertTrue(wait_until(lambda: self.host.of("NDEATH", after=at), 10), self.gw.text())
        self.assertEqual(metric(self.host.of("NDEATH", after=at)[0]["payload"], "bdSeq")["value"], 0)
        time.sleep(2)
        self.assertEqual(self.host.of("NBIRTH", after=at), [])
        # online again: born on its new connection
        self.host.send(op="state", host="scada", online=True, timestamp=now + 2)
        nbirth, _ = self.births(after=at)
        self.assertGreaterEqual(metric(nbirth["payload"], "bdSeq")["value"], 1)


class StoreAndForward(SparkplugCase):
    def test_an_outage_of_the_broker(self):
        self.start()
        self.births()
        # the broker goes for 30 s while station 2 changes, 20 times
        self.broker.stop()
        changes = []
        for i in range(20):
            v = 0x01 if i % 2 == 0 else 0x00
            self.sim.cmd(f"status 2 {v}")
            changes.append(bool(v))
            time.sleep(1.5)
        self.assertTrue(wait_until(lambda: self.figures().get("krandolix_sparkplug_buffered_events", 0) >= 20, 5),
                        self.figures())
        at = self.host.count()
        self.broker.start()
        self.assertTrue(wait_until(lambda: self.host.readies > 1, 20))
        _, dbirths = self.births(after=at, seconds=40)
        names = aliases(dbirths["Line1.P2"])
        # (the kept changes go in the order they came, a DDATA each run of one device's:
        # station 1's toggling among them makes them many messages)
        wait_until(lambda: len(self.history_of(at, names, "P2/I0")) >= len(changes), 10)
        kept = self.history_of(at, names, "P2/I0")
        self.assertEqual([v for v, _ in kept], changes, (kept, self.gw.text()[-4000:]))
        times = [t for _, t in kept]
        self.assertEqual(times, sorted(times))
        self.assertGreater(times[-1] - times[0], 25000)  # their own times, not the forward's
        self.check_sequence(self.host.sparkplug(at))
        self.assertTrue(wait_until(lambda: self.figures().get("krandolix_sparkplug_buffered_events") == 0, 5))

    def history_of(self, at, names, name):
        return [(m["value"], m["timestamp"]) for d in self.host.of("DDATA", "Line1.P2", after=at)
                for m in d["payload"]["metrics"] if m.get("isHistorical") and names[m["alias"]]["name"] == name]

    def test_the_bound_drops_and_counts_and_a_restart_keeps(self):
        self.start("buffer = 5\n")
        self.births()
        self.broker.stop()
        for i in range(8):
            self.sim.cmd(f"status 2 {0x01 if i % 2 == 0 else 0x00}")
            time.sleep(0.8)
        self.assertTrue(wait_until(lambda: self.figures().get("krandolix_sparkplug_dropped_events_total", 0) >= 3, 5),
                        self.figures())
        self.assertEqual(self.figures()["krandolix_sparkplug_buffered_events"], 5)
        # a restart keeps them (in the state folder)
        self.gw.stop()
        self.gw = Gateway(self.d, self.toml("buffer = 5\n")).start()
        self.assertTrue(wait_until(lambda: self.figures().get("krandolix_sparkplug_buffered_events", 0) >= 5, 10))
        at = self.host.count()
        self.broker.start()
        self.assertTrue(wait_until(lambda: self.host.readies > 1, 20))
        self.births(after=at, seconds=40)
        self.assertTrue(wait_until(lambda: any(m["payload"]["metrics"] and m["payload"]["metrics"][0].get("isHistorical")
                                               for m in self.host.of("DDATA", after=at)), 10))


if __name__ == "__main__":
    gwtest.BIN = os.path.abspath(sys.argv.pop(1))
    unittest.main()
