#!/usr/bin/python3
"""drvgw against a real mosquitto broker and mcsim on pseudo-terminals, watched and
commanded by a real MQTT 5 client.

Run: test_drvgw.py BIN_FOLDER   (under Debian's /usr/bin/python3)"""
import json
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gwtest  # noqa: E402
from gwtest import Broker, Gateway, Sim, Watcher, channel_config, drvcfg, wait_until  # noqa: E402
from paho.mqtt.packettypes import PacketTypes  # noqa: E402
from paho.mqtt.properties import Properties  # noqa: E402

PREFIX = "krandolix/t"
# COM numbers the gateway's own links give; nothing else leads there
COM = [int(n) for n in os.environ.get("GATEWAY_COMS", "31 32 33").split()]


def toml(broker_port, channels, ports, extra_gateway="", broker_extra="", gateway_id="t"):
    text = f'[gateway]\nid = "{gateway_id}"\nstatus_interval = 2\n{extra_gateway}\n'
    text += f'[broker]\nhost = "127.0.0.1"\nport = {broker_port}\nkeepalive = 5\n{broker_extra}\n'
    text += "[ports]\n" + "".join(f'COM{n} = "{dev}"\n' for n, dev in ports.items())
    for name, cfg, tags in channels:
        text += f'\n[[channel]]\nname = "{name}"\nconfig = "{cfg}"\n'
        if tags:
            text += f'tags = "{tags}"\n'
    return text


class GatewayCase(gwtest.OneLine):
    """A broker, a simulator with three stations on COM[0], a gateway for channel Line1."""

    com = COM[0]

    def setUp(self):
        super().setUp()
        self.watch = None
        self.started = []

    def start_gateway(self, extra_gateway="", wait=True, env=None, broker_extra=""):
        self.watch = Watcher(self.broker.port, PREFIX + "/#")  # sees every line from the start
        self.gw = Gateway(self.d, toml(self.broker.port, [("Line1", "Line1.cfg", None)],
                                       {COM[0]: self.sim.link}, extra_gateway, broker_extra),
                          env=env).start()
        if wait:
            self.assertTrue(self.watch.wait_value(PREFIX + "/online", "1"), self.gw.text())
            self.assertTrue(self.watch.wait_value(PREFIX + "/Line1/펌프1/I0", "1"), self.gw.text())

    def tearDown(self):
        if self.watch:
            self.watch.close()
        for w in self.started:
            w.close()
        super().tearDown()

    def write(self, tag, payload="1", correlation=None, watcher=None):
        (watcher or self.watch).publish(f"{PREFIX}/Line1/{tag}/set", payload, correlation)

    def results(self, tag):
        return [json.loads(m[1]) for m in self.watch.on(f"{PREFIX}/Line1/{tag}/result")]


class Values(GatewayCase):
    def test_values_are_retained_and_follow_the_status_byte(self):
        self.start_gateway()
        for bit, want in enumerate("10100000"):
            self.assertTrue(self.watch.wait_value(f"{PREFIX}/Line1/펌프1/I{bit}", want), bit)
        self.assertTrue(self.watch.wait_value(f"{PREFIX}/Line1/P7/I7", "1"))
        self.assertEqual(self.sim.cmd("status 1 0x42"), "ok")
        self.assertTrue(self.watch.wait_value(f"{PREFIX}/Line1/펌프1/I1", "1"))
        self.assertTrue(self.watch.wait_value(f"{PREFIX}/Line1/펌프1/I6", "1"))
        self.assertEqual(self.watch.value(f"{PREFIX}/Line1/펌프1/I0"), "0")
        # a newcomer gets the retained values and states at once
        late = Watcher(self.broker.port, PREFIX + "/#")
        self.started.append(late)
        self.assertTrue(late.wait_value(f"{PREFIX}/Line1/펌프1/I6", "1", 5))
        self.assertTrue(late.on(f"{PREFIX}/Line1/펌프1/I6")[0][2])  # retained
        self.assertTrue(wait_until(lambda: late.json(f"{PREFIX}/Line1/state") == {"state": "ok"}, 5))
        # (a station's state follows its first poll within a look, a quarter second)
        self.assertTrue(wait_until(lambda: (late.json(f"{PREFIX}/Line1/station/P2") or {}).get("state") == "ok", 5))
        # each value is told when it changes, not at every poll (five polls a second)
        told = len(self.watch.on(f"{PREFIX}/Line1/P2/I0"))
        time.sleep(1)
        self.assertEqual(len(self.watch.on(f"{PREFIX}/Line1/P2/I0")), told)

    def test_log_lines_of_the_channel(self):
        self.start_gateway()
        m = self.watch.wait_message(f"{PREFIX}/Line1/log", lambda m: "포트 초기화 성공" in m[1])
        self.assertTrue(m, self.watch.on(f"{PREFIX}/Line1/log"))
        line = json.loads(m[1])
        self.assertEqual(line["kind"], "info")
        self.assertRegex(line["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")  # UTC, as the page and the history
        self.assertFalse(m[2])  # not retained


class Writes(GatewayCase):
    def test_a_write_is_one_control_frame_and_is_answered_done(self):
        self.start_gateway()
        self.write("펌프1/O1", "1", correlation=b"req-17")
        done = self.watch.wait_message(f"{PREFIX}/Line1/펌프1/O1/result",
                                       lambda m: json.loads(m[1])["result"] == "done")
        self.assertTrue(done, self.results("펌프1/O1"))
        self.assertEqual([r["result"] for r in self.results("펌프1/O1")], ["queued", "done"])
        # correlation data comes back as correlation data, never in the text
        self.assertIsNone(json.loads(done[1])["request"])
        self.assertEqual(done[3], b"req-17")
        self.assertEqual(done[4], 1)  # results at QoS 1: a subscriber that asked for it gets each one
        frames = self.sim.frames()
        self.assertEqual(len(frames), 1, frames)
        self.assertIn("control 1 data 0x02", frames[0])
        # a request id in the payload
        self.write("P2/O0", json.dumps({"value": 1, "request": "abc"}))
        self.assertTrue(self.watch.wait_message(f"{PREFIX}/Line1/P2/O0/result",
                                                lambda m: json.loads(m[1]) == {"result": "done", "request": "abc"}))
        self.assertEqual(len(self.sim.frames()), 2)

    def test_a_response_topic_gets_the_result_with_its_correlation_data(self):
        self.start_gateway()
        replies = Watcher(self.broker.port, "replies/#")
        self.started.append(replies)
        props = Properties(PacketTypes.PUBLISH)
        props.ResponseTopic = "replies/hmi-1"
        props.CorrelationData = b"\x00\xff\x80bin"
        self.watch.client.publish(f"{PREFIX}/Line1/P7/O1/set", json.dumps({"value": 1, "request": "r-9"}),
                                  qos=2, properties=props).wait_for_publish(10)
        done = replies.wait_message("replies/hmi-1", lambda m: json.loads(m[1])["result"] == "done")
        self.assertTrue(done, replies.messages)
        self.assertEqual(json.loads(done[1]), {"result": "done", "request": "r-9"})
        self.assertEqual(done[3], b"\x00\xff\x80bin")
        # and on the tag's own result topic, the same
        self.assertTrue(self.watch.wait_message(f"{PREFIX}/Line1/P7/O1/result",
                                                lambda m: m[3] == b"\x00\xff\x80bin" and "done" in m[1]))

    def test_a_repeated_delivery_acts_once(self):
        # what a QoS 1 redelivery (DUP) looks like: the same command twice
        self.start_gateway()
        for _ in range(2):
            self.write("P7/O1", json.dumps({"value": 1, "request": "once"}))
            self.write("P7/O2", "1", correlation=b"c-1")
        for tag in ("P7/O1", "P7/O2"):
            self.assertTrue(self.watch.wait_message(f"{PREFIX}/Line1/{tag}/result",
                                                    lambda m: json.loads(m[1])["result"] == "done"))
        self.assertTrue(wait_until(lambda: self.gw.text().count("a repeated delivery") == 2, 5), self.gw.text())
        time.sleep(0.5)
        self.assertEqual(len(self.sim.frames()), 2)
        # the repeat is answered with the first one's result as it stood then (queued, or done
        # when the first was quick), and the first's own end follows once
        results = [r["result"] for r in self.results("P7/O1")]
        self.assertEqual(len(results), 3, results)
        self.assertEqual(results[0], "queued")
        self.assertIn(results[1], ("queued", "done"))
        self.assertEqual(results.count("done"), 1 + (results[1] == "done"))
        # a repeat after the end gets the end, and still acts not
        self.write("P7/O1", json.dumps({"value": 1, "request": "once"}))
        self.assertTrue(wait_until(lambda: len(self.results("P7/O1")) == 4, 5))
        self.assertEqual(self.results("P7/O1")[-1], {"result": "done", "request": "once"})
        # another request id is another command
        self.write("P7/O1", json.dumps({"value": 1, "request": "twice"}))
        self.assertTrue(wait_until(lambda: len(self.sim.frames()) == 3, 5))

    def test_the_request_id_comes_back_as_it_was_sent(self):
        self.start_gateway()
        self.write("P7/O1", json.dumps({"value": 1, "request": 42}))
        self.write("P7/O2", json.dumps({"value": 1, "request": "42"}))
        for tag in ("P7/O1", "P7/O2"):
            self.assertTrue(self.watch.wait_message(f"{PREFIX}/Line1/{tag}/result",
                                                    lambda m: json.loads(m[1])["result"] == "done"))
        self.assertEqual({r["request"] for r in self.results("P7/O1")}, {42})
        self.assertEqual({r["request"] for r in self.results("P7/O2")}, {"42"})
        # any other type is refused, saying why, and nothing goes on the line
        for i, rid in enumerate([{"id": 7}, [1], True, None]):
            tag = f"P7/O{3 + i % 2}"
            before = len(self.results(tag))
            self.write(tag, json.dumps({"value": 1, "request": rid}))
            self.assertTrue(wait_until(lambda: len(self.results(tag)) > before, 5), rid)
            r = self.results(tag)[-1]
            self.assertEqual((r["result"], r["request"]), ("refused", None), rid)
            self.assertIn("number or a string", r["reason"])
        self.assertEqual(len(self.sim.frames()), 2)

    def test_a_command_nobody_answered_is_no_reply(self):
        # retries 0, as the design has a silent controller: the driver logs its
        # time-out and counts no control failure; the client hears no_reply, not done
        self.start_gateway()
        self.sim.cmd("fault 2 silent on")
        self.write("P2/O1", json.dumps({"value": 1, "request": "r"}))
        self.assertTrue(self.watch.wait_message(f"{PREFIX}/Line1/P2/O1/result",
                                                lambda m: json.loads(m[1])["result"] != "queued", 15))
        self.assertEqual(self.results("P2/O1"), [{"result": "queued", "request": "r"},
                                                 {"result": "no_reply", "request": "r"}])
        self.assertIn("no_reply", self.gw.text())
        self.sim.cmd("fault 2 clear")
        self.write("P2/O1")
        self.assertTrue(self.watch.wait_message(f"{PREFIX}/Line1/P2/O1/result",
                                                lambda m: json.loads(m[1])["result"] == "done", 15))
        self.assertEqual(self.watch.json(f"{PREFIX}/Line1/station/P2")["control_failures"], 0)

    def test_what_dashboards_send_for_1_is_1(self):
        self.start_gateway()
        payloads = ["1", "true", '"1"', '"true"', '"on"', "ON", '{"value":1}', '{"value":true}']
        for bit, payload in enumerate(payloads[:8]):
            tag = ["펌프1", "P7"][bit // 4] + f"/O{bit % 4}"
            self.write(tag, payload)
            self.assertTrue(self.watch.wait_message(f"{PREFIX}/Line1/{tag}/result",
                                                    lambda m: json.loads(m[1])["result"] == "done"), payload)
        self.assertEqual(len(self.sim.frames()), 8)

    def test_refused_writes_put_nothing_on_the_line(self):
        self.start_gateway()
        rss = self.gw.rss_kb()
        for tag, payload, reason in [
                ("펌프1/I1", "1", "not an output"), ("펌프1/O1", "0", "0 is no command"),
                ("펌프1/O1", "false", "0 is no command"), ("펌프1/O1", "off", "0 is no command"),
                ("펌프1/O1", "", "a write sends 1"), ("펌프1/O1", "[1]", "a write sends 1"),
                ("펌프1/O1", '{"value":2}', "a write sends 1"), ("nobody/O1", "1", "no such tag"),
                # too large, or nested too deep, to be read at all
                ("펌프1/O1", "[" * 4_000_000, "larger than"), ("펌프1/O1", "[" * 64 + "1" + "]" * 64, "deeper")]:
            before = len(self.results(tag))
            self.write(tag, payload)
            self.assertTrue(wait_until(lambda: len(self.results(tag)) > before, 5), (tag, payload[:20]))
            self.assertEqual(self.results(tag)[-1]["result"], "refused", (tag, payload[:20]))
            self.assertIn(reason, self.results(tag)[-1]["reason"])
            self.assertEqual(self.results(tag)[-1]["refusal"],
                             {"not an output": "not_output", "no such tag": "unknown_target"}.get(reason, "payload"))
        # The 4 MB payload is held a few times over on its way in; read as nesting it would take
        # hundreds of megabytes (or the stack)
        self.assertLess(self.gw.rss_kb() - rss, 32 * 1024)
        self.write("Nowhere", "1")  # a channel that does not exist: no answer expected, no harm
        time.sleep(0.5)
        self.assertEqual(self.sim.frames(), [])
        self.assertEqual(self.sim.get(1, "controls"), 0)

    def test_read_only_refuses_every_write_and_station_command(self):
        self.start_gateway("read_only = true")
        self.write("펌프1/O1")
        self.assertTrue(wait_until(lambda: self.results("펌프1/O1"), 5))
        self.assertEqual(self.results("펌프1/O1")[-1]["result"], "refused")
        self.watch.publish(f"{PREFIX}/Line1/station/P2/set", "disable")
        time.sleep(0.8)
        self.assertEqual(self.watch.json(f"{PREFIX}/Line1/station/P2")["state"], "ok")
        self.assertEqual(self.sim.frames(), [])

    def test_a_flood_to_one_output_is_busy_beyond_what_is_queued(self):
        # a slow station: each control takes 300 ms to answer
        self.sim.cmd("fault 1 delay 300")
        self.start_gateway()
        rss = self.gw.rss_kb()
        for _ in range(300):
            self.watch.client.publish(f"{PREFIX}/Line1/펌프1/O2/set", "1", qos=1)
        # (the outcomes of the writes served meanwhile, done, come among the answers)
        answers = lambda: [r["result"] for r in self.results("펌프1/O2") if r["result"] in ("queued", "busy")]
        self.assertTrue(wait_until(lambda: len(answers()) >= 300, 20))
        results = answers()
        queued = results.count("queued")
        self.assertEqual(len(results), 300, results)
        self.assertGreaterEqual(queued, 1)
        self.assertLess(queued, 30)  # one at a time, not 300 in the driver's queue
        # every queued write is served once, and answered done
        self.assertTrue(wait_until(lambda: results.count("queued") ==
                                   [r["result"] for r in self.results("펌프1/O2")].count("done"), 20))
        self.assertTrue(wait_until(lambda: self.sim.get(1, "controls") == queued, 10))
        self.assertLess(self.gw.rss_kb() - rss, 4096)


class WriteTimeout(GatewayCase):
    stations = ["1:0x05"]

    def setUp(self):
        super().setUp()
        # each poll of a silent station holds the scan for its time-out, 3 s
        channel_config(os.path.join(self.d, "Line1.cfg"), COM[0], [("P1", 1)], timeout=3)

    def test_a_write_the_driver_does_not_take_in_time_is_answered_timeout(self):
        self.start_gateway(wait=False)
        self.assertTrue(self.watch.wait_value(f"{PREFIX}/Line1/P1/I0", "1"), self.gw.text())
        # the scan is seen inside a poll that will run out its time-out: the write
        # and the switch-off both arrive before the next visit
        self.sim.cmd("fault 1 silent on")
        self.assertTrue(wait_until(lambda: "station 1 silent" in self.sim.text(), 10))
        self.write("P1/O0", "1")
        self.watch.publish(f"{PREFIX}/Line1/station/P1/set", "disable")
        self.assertTrue(self.watch.wait_message(f"{PREFIX}/Line1/P1/O0/result",
                                                lambda m: json.loads(m[1])["result"] in ("timeout", "done"), 40))
        self.assertEqual([r["result"] for r in self.results("P1/O0")], ["queued", "timeout"])
        # still queued: the output is busy until the driver takes it
        self.write("P1/O0", "1")
        self.assertTrue(wait_until(lambda: len(self.results("P1/O0")) == 3, 5))
        self.assertEqual(self.results("P1/O0")[-1]["result"], "busy")
        self.sim.cmd("fault 1 clear")
        self.watch.publish(f"{PREFIX}/Line1/station/P1/set", "enable")
        self.assertTrue(wait_until(lambda: self.sim.get(1, "controls") == 1, 5))


class Stations(GatewayCase):
    def test_a_silent_station_turns_fault_and_back(self):
        self.start_gateway()
        self.sim.cmd("fault 2 silent on")
        self.assertTrue(self.watch.wait_message(f"{PREFIX}/Line1/station/P2",
                                                lambda m: json.loads(m[1])["state"] == "fault"))
        self.assertTrue(wait_until(lambda: self.watch.json(f"{PREFIX}/Line1/state") == {"state": "fault"}, 5))
        self.assertGreaterEqual(self.watch.json(f"{PREFIX}/Line1/station/P2")["poll_failures"], 1)
        self.sim.cmd("fault 2 silent off")
        self.assertTrue(wait_until(lambda: self.watch.json(f"{PREFIX}/Line1/state") == {"state": "ok"}, 10))
        self.assertTrue(wait_until(lambda: self.station_state("P2") == "ok", 5))

    def station_state(self, station):
        """The station's state as last told ("" before it was told)."""
        return (self.watch.json(f"{PREFIX}/Line1/station/{station}") or {}).get("state", "")

    def test_station_commands(self):
        self.start_gateway()
        self.watch.publish(f"{PREFIX}/Line1/station/P7/set", "disable")
        self.assertTrue(wait_until(lambda: self.station_state("P7") == "disabled", 5))
        polls = self.sim.get(7, "polls")
        time.sleep(0.8)
        self.assertEqual(self.sim.get(7, "polls"), polls)
        self.watch.publish(f"{PREFIX}/Line1/station/P7/set", "enable")
        self.assertTrue(wait_until(lambda: self.station_state("P7") == "ok", 5))
        self.watch.publish(f"{PREFIX}/Line1/station/P7/set", "reset")
        self.assertTrue(wait_until(lambda: self.watch.json(f"{PREFIX}/Line1/station/P7")["polls"] <= 2, 5))

    def test_station_commands_answer(self):
        self.start_gateway()
        answer = lambda station, after: self.watch.wait_message(
            f"{PREFIX}/Line1/station/{station}/result", after=after)
        self.watch.publish(f"{PREFIX}/Line1/station/P7/set", json.dumps({"command": "disable", "request": "r1"}))
        self.assertEqual(json.loads(answer("P7", 0)[1]), {"result": "done", "request": "r1"})
        self.watch.publish(f"{PREFIX}/Line1/station/P7/set", "explode")
        refused = json.loads(answer("P7", 1)[1])
        self.assertEqual(refused["result"], "refused")
        self.assertIn("enable, disable or reset", refused["reason"])
        self.watch.publish(f"{PREFIX}/Line1/station/P99/set", "enable")
        self.assertIn("no such", json.loads(answer("P99", 0)[1])["reason"])


class Presence(GatewayCase):
    def test_online_a_clean_stop_and_the_last_will(self):
        self.start_gateway()
        late = Watcher(self.broker.port, PREFIX + "/online")
        self.started.append(late)
        self.assertTrue(late.wait_value(PREFIX + "/online", "1", 5))
        self.assertTrue(late.on(PREFIX + "/online")[-1][2])  # retained
        self.assertEqual(self.gw.stop(), 0)
        self.assertTrue(self.watch.wait_value(PREFIX + "/online", "0", 5))
        self.assertEqual(self.watch.json(f"{PREFIX}/Line1/state"), {"state": "off"})
        # nobody looks at the stations now: they are unknown, retained for whoever comes
        after = Watcher(self.broker.port, PREFIX + "/#")
        self.started.append(after)
        for station in ("펌프1", "P2", "P7"):
            self.assertTrue(wait_until(lambda: (after.json(f"{PREFIX}/Line1/station/{station}") or {})
                                       .get("state") == "unknown", 5), station)
        self.gw.start()
        self.assertTrue(self.watch.wait_value(PREFIX + "/online", "1", 10))
        self.gw.proc.kill()  # no goodbye: the broker says it
        self.gw.proc.wait()
        self.assertTrue(self.watch.wait_value(PREFIX + "/online", "0", 15))
        # the will is retained: a subscriber that comes later learns it too
        later = Watcher(self.broker.port, PREFIX + "/online")
        self.started.append(later)
        self.assertTrue(later.wait_value(PREFIX + "/online", "0", 5))
        self.assertTrue(later.on(PREFIX + "/online")[-1][2])

    def test_a_dead_gateways_states_expire_and_its_channels_describe_their_tags(self):
        self.start_gateway()
        self.assertTrue(wait_until(lambda: self.watch.json(f"{PREFIX}/Line1/meta") is not None, 5))
        meta = self.watch.json(f"{PREFIX}/Line1/meta")
        self.assertEqual(meta["channel"], "Line1")
        self.assertEqual([s["name"] for s in meta["stations"]], ["펌프1", "P2", "P7"])
        out = next(t for t in meta["stations"][1]["tags"] if t["name"] == "P2/O1")
        self.assertEqual(out, {"name": "P2/O1", "kind": "output", "bit": 1, "accepted": True,
                               "topic": "Line1/P2/O1", "set": "Line1/P2/O1/set", "result": "Line1/P2/O1/result"})
        inp = next(t for t in meta["stations"][1]["tags"] if t["name"] == "P2/I3")
        self.assertEqual(inp["kind"], "input")
        self.assertNotIn("set", inp)
        # killed: its states vanish within a few status intervals (2 s here), what it has stays
        self.gw.proc.kill()
        self.gw.proc.wait()
        self.assertTrue(self.watch.wait_value(PREFIX + "/online", "0", 15))
        time.sleep(3 * 2 + 2)
        later = Watcher(self.broker.port, PREFIX + "/#")
        self.started.append(later)
        self.assertTrue(wait_until(lambda: later.json(f"{PREFIX}/Line1/meta") is not None, 5))
        time.sleep(0.5)
        self.assertIsNone(later.json(f"{PREFIX}/Line1/station/P2"))
        self.assertIsNone(later.json(f"{PREFIX}/Line1/state"))
        self.assertEqual(later.on(PREFIX + "/online")[-1][1], "0")

    def test_a_killed_gateways_link_folder_is_removed_by_the_next(self):
        import glob
        env = {k: v for k, v in os.environ.items() if k != "RUNTIME_DIRECTORY"}
        self.start_gateway(env=env)
        killed = self.gw.proc.pid
        folders = glob.glob(f"/tmp/drvgw.{killed}.*")
        self.assertEqual(len(folders), 1, folders)
        self.gw.proc.kill()
        self.gw.proc.wait()
        self.assertTrue(os.path.isdir(folders[0]))
        self.gw.start()
        # its own folder is made once the stale ones are gone
        self.assertTrue(wait_until(lambda: len(glob.glob(f"/tmp/drvgw.{self.gw.proc.pid}.*")) == 1, 10))
        self.assertFalse(os.path.exists(folders[0]))
        self.assertEqual(self.gw.stop(), 0)
        self.assertEqual(glob.glob(f"/tmp/drvgw.{self.gw.proc.pid}.*"), [])

    def test_a_command_sent_while_the_gateway_is_away_expires_with_its_session(self):
        self.start_gateway(broker_extra="session_expiry = 1\n")
        self.assertEqual(self.gw.stop(), 0)
        time.sleep(2.5)  # past the session's expiry: the broker keeps nothing for the gateway
        self.write("P7/O1")
        self.gw.start()
        self.assertTrue(self.watch.wait_value(PREFIX + "/online", "1", 10))
        self.assertTrue(wait_until(lambda: "running 1 channels" in self.gw.text(), 5))
        time.sleep(2)
        self.assertEqual(self.sim.frames(), [])

    def test_the_broker_goes_away_and_comes_back(self):
        self.start_gateway()
        self.broker.stop()
        self.sim.cmd("status 1 0x10")  # changes while the broker is away
        time.sleep(1)
        self.broker.start()
        # a write sent before the gateway is back waits in its session and is served once
        sender = Watcher(self.broker.port, "nothing/#")
        self.started.append(sender)
        sender.publish(f"{PREFIX}/Line1/펌프1/O3/set", "1", correlation=b"across")
        watch = Watcher(self.broker.port, PREFIX + "/#")
        self.started.append(watch)
        self.assertTrue(watch.wait_value(PREFIX + "/online", "1", 20), self.gw.text())
        self.assertTrue(watch.wait_value(f"{PREFIX}/Line1/펌프1/I4", "1", 10))
        self.assertTrue(watch.wait_message(f"{PREFIX}/Line1/펌프1/O3/result",
                                           lambda m: json.loads(m[1])["result"] == "done", 15))
        time.sleep(1)
        self.assertEqual(len(self.sim.frames()), 1)
        # the states were told again on the new connection, not only kept by the broker
        self.assertTrue(any(not m[2] for m in watch.on(f"{PREFIX}/Line1/station/P2")))


class Ports(GatewayCase):
    def test_a_line_that_hangs_up_is_reopened(self):
        self.start_gateway()
        self.assertTrue(self.sim.cmd("hangup").startswith("ok pty"))
        self.assertTrue(wait_until(lambda: self.watch.json(f"{PREFIX}/Line1/state") == {"state": "fault"}, 15))
        self.assertTrue(wait_until(lambda: self.watch.json(f"{PREFIX}/Line1/state") == {"state": "ok"}, 20),
                        self.gw.text())
        self.sim.cmd("status 1 0x40")
        self.assertTrue(self.watch.wait_value(f"{PREFIX}/Line1/펌프1/I6", "1", 10))

    def test_a_port_that_goes_away_is_port_lost_until_it_is_back(self):
        self.start_gateway()
        # the device goes (its pseudo-terminal hangs up) and its link with it
        reply = self.sim.cmd("hangup")
        self.assertTrue(reply.startswith("ok pty "), reply)
        os.remove(self.sim.link)
        self.assertTrue(wait_until(lambda: self.watch.json(f"{PREFIX}/Line1/state") == {"state": "port_lost"}, 20),
                        self.gw.text())
        os.symlink(reply.split()[2], self.sim.link)  # plugged in again
        self.assertTrue(wait_until(lambda: self.watch.json(f"{PREFIX}/Line1/state") == {"state": "ok"}, 40),
                        self.gw.text())
        self.assertTrue(self.watch.wait_message(f"{PREFIX}/Line1/log", lambda m: "the line is back" in m[1], 5))


class Configuration(unittest.TestCase):
    """Reloads, refusals, two gateways on one broker, drvgw check."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.d = self.tmp.name
        self.broker = Broker(self.d)
        self.broker.start()
        self.sims = {}
        self.gws = []
        self.watch = Watcher(self.broker.port, "krandolix/#")

    def tearDown(self):
        self.watch.close()
        for gw in self.gws:
            gw.stop()
        for sim in self.sims.values():
            sim.stop()
        self.broker.stop()
        self.tmp.cleanup()

    def line(self, name, com, stations):
        """A simulator and a driver configuration for channel `name` on COM`com`."""
        self.sims[name] = Sim(self.d, os.path.join(self.d, name.lower()),
                              [f"{n}:0x01" for _, n in stations], name)
        channel_config(os.path.join(self.d, name + ".cfg"), com, stations)
        return self.sims[name].link

    def gateway(self, channels, ports, name="gw", gateway_id="t", **kw):
        gw = Gateway(self.d, toml(self.broker.port, channels, ports, gateway_id=gateway_id, **kw),
                     name).start()
        self.gws.append(gw)
        return gw

    def test_a_reload_restarts_what_changed_and_nothing_else(self):
        one = self.line("Line1", COM[0], [("A", 1), ("B", 2)])
        three = self.line("Line3", COM[2], [("C", 5)])
        gw = self.gateway([("Line1", "Line1.cfg", None), ("Line3", "Line3.cfg", None)],
                          {COM[0]: one, COM[2]: three})
        self.assertTrue(self.watch.wait_value("krandolix/t/Line3/C/I0", "1"), gw.text())
        # a station added to Line1 (with drvcfg, as a person would), a channel Line2 added
        drvcfg("add-station", os.path.join(self.d, "Line1.cfg"), "--name", "D", "--number", "3",
               "--period", "0.2")
        self.sims["Line1"].cmd("add 3 0x08")
        two = self.line("Line2", COM[1], [("E", 4)])
        Gateway.write(gw, toml(self.broker.port,
                               [("Line1", "Line1.cfg", None), ("Line2", "Line2.cfg", None),
                                ("Line3", "Line3.cfg", None)],
                               {COM[0]: one, COM[1]: two, COM[2]: three}))
        self.assertTrue(self.watch.wait_value("krandolix/t/online", "1"))
        # the values told on connecting (the only time an unchanged value is told) are in
        self.assertTrue(wait_until(lambda: len(self.watch.on("krandolix/t/Line3/C/I2")) >= 1, 10))
        steady = len(self.watch.on("krandolix/t/Line3/C/I2"))
        gw.signal(signal.SIGHUP)
        self.assertTrue(self.watch.wait_value("krandolix/t/Line1/D/I3", "1"), gw.text())
        self.assertTrue(self.watch.wait_value("krandolix/t/Line2/E/I0", "1"), gw.text())
        # Line3 ran on: its values still come, and a value that did not change
        # was not told again (a channel started anew tells every value once)
        self.sims["Line3"].cmd("status 5 0x03")
        self.assertTrue(self.watch.wait_value("krandolix/t/Line3/C/I1", "1"))
        self.assertEqual(len(self.watch.on("krandolix/t/Line3/C/I2")), steady,
                         (self.watch.on("krandolix/t/Line3/C/I2"), gw.text()))
        text = gw.text()
        self.assertIn("Line1: stopped by the reload", text)
        self.assertNotIn("Line3: stopped", text)
        self.assertIn("reloaded: 3 channels", text)
        # a channel taken out is stopped and says so
        Gateway.write(gw, toml(self.broker.port,
                               [("Line1", "Line1.cfg", None), ("Line3", "Line3.cfg", None)],
                               {COM[0]: one, COM[2]: three}))
        gw.signal(signal.SIGHUP)
        self.assertTrue(wait_until(lambda: self.watch.json("krandolix/t/Line2/state") == {"state": "off"}, 10))
        self.assertTrue(wait_until(lambda: "reloaded: 2 channels" in gw.text(), 5))
        polls = self.sims["Line2"].get(4, "polls")
        time.sleep(0.6)
        self.assertEqual(self.sims["Line2"].get(4, "polls"), polls)
        self.assertNotIn("Line1: stopped by the reload\n" * 2, gw.text())

    def test_a_bad_configuration_at_start_and_at_reload(self):
        one = self.line("Line1", COM[0], [("A", 1)])
        channel_config(os.path.join(self.d, "Station.cfg"), COM[0], [("station", 1)])
        empty = os.path.join(self.d, "empty-password")
        open(empty, "w").close()
        os.chmod(empty, 0o600)
        web = '[broker]\nhost = "h"\n[web]\nlisten = "0.0.0.0"\n'
        chan = '[[channel]]\nname = "A"\nconfig = "Line1.cfg"\n'
        bad = Gateway(self.d, toml(self.broker.port, [("Line1", "Line1.cfg", None)], {COM[0]: one})
                      + "colour = \"blue\"\n", "bad")
        self.assertEqual(subprocess.run([os.path.join(gwtest.BIN, "drvgw"), "run", bad.path],
                                        capture_output=True, text=True, timeout=20).returncode, 2)
        for text, message in [
            ("[gateway]\nid = 3\n", "gateway.id: must be a string"),
            ("[broker]\nhost = \"h\"\nport = 1\n[ports]\nCOM37 = \"/dev/null\"\n", "a port is COM1 to COM36"),
            ("[broker]\nhost = \"h\"\n[[channel]]\nname = \"a+b\"\nconfig = \"x\"\n", "cannot be a topic level"),
            ("[broker]\nhost = \"h\"\n[[channel]]\nname = \"A\"\nconfig = \"Line1.cfg\"\n"
             "[[channel]]\nname = \"A\"\nconfig = \"Line1.cfg\"\n", "names two channels"),
            ("[broker]\nhost = \"h\"\n[[channel]]\nname = \"A\"\nconfig = \"none.cfg\"\n", "none.cfg"),
            ("[broker\n", "bad.toml:1"),
            ("[broker]\nhost = \"h\"\n[modbus]\nport = 1502\nunit = 3\n", "modbus.unit: unknown key"),
            ("[broker]\nhost = \"h\"\n[[channel]]\nname = \"A\"\nconfig = \"Line1.cfg\"\nunit_id = 4\n"
             "[[channel]]\nname = \"B\"\nconfig = \"Line1.cfg\"\nunit_id = 4\n", "4 is another channel's"),
            # a number too long for an int is out of range, not the end of the program
            ("[broker]\nhost = \"h\"\n[ports]\nCOM99999999999 = \"/dev/null\"\n", "ports.COM99999999999: a port is"),
            # weak settings, each refused by name
            (web + f'user = "op"\npassword_file = "{empty}"\n' + chan, "holds no password"),
            (web + f'user = "op"\npassword_file = "{self.d}"\n' + chan, "is not a file"),
            (web + 'user = "op"\n' + chan, "user and password_file go together"),
            ('[broker]\nhost = "h"\n[web]\nlisten = "127.0.0.1.nip.io"\n' + chan, "web.listen: is not a loopback"),
            ('[broker]\nhost = "h"\n[[channel]]\nname = "A"\nconfig = "Line1.cfg"\n'
             f'tags = "{self.d}"\n', "channel[1].tags: " + self.d + " is a folder"),
            ('[broker]\nhost = "h"\n[[channel]]\nname = "A"\nconfig = "Station.cfg"\n',
             'station "station" is a name the channel\'s own topics use'),
        ]:
            with open(bad.path, "w") as f:
                f.write(text)
            r = subprocess.run([os.path.join(gwtest.BIN, "drvgw"), "check", bad.path],
                               capture_output=True, text=True, timeout=20)
            self.assertEqual(r.returncode, 2, text)
            self.assertIn(message, r.stderr, text)
            self.assertIn(bad.path, r.stderr)
        # at a reload the running configuration stays
        gw = self.gateway([("Line1", "Line1.cfg", None)], {COM[0]: one})
        self.assertTrue(self.watch.wait_value("krandolix/t/Line1/A/I0", "1"), gw.text())
        for text in ("[gateway\n", toml(self.broker.port, [("Line1", "Line1.cfg", None)],
                                        {99999999999: "/dev/null"})):
            Gateway.write(gw, text)
            refused = gw.text().count("reload refused")
            gw.signal(signal.SIGHUP)
            self.assertTrue(wait_until(lambda: gw.text().count("reload refused") > refused, 5), gw.text())
            self.assertIsNone(gw.proc.poll())
        self.sims["Line1"].cmd("status 1 0x02")
        self.assertTrue(self.watch.wait_value("krandolix/t/Line1/A/I1", "1"))
        self.assertIsNone(gw.proc.poll())

    def test_two_gateways_on_one_broker(self):
        one = self.line("Line1", COM[0], [("A", 1)])
        two = self.line("Line2", COM[1], [("B", 2)])
        self.gateway([("Line1", "Line1.cfg", None)], {COM[0]: one}, "gw1", "one")
        self.gateway([("Line2", "Line2.cfg", None)], {COM[1]: two}, "gw2", "two")
        self.assertTrue(self.watch.wait_value("krandolix/one/online", "1"))
        self.assertTrue(self.watch.wait_value("krandolix/two/online", "1"))
        self.assertTrue(self.watch.wait_value("krandolix/one/Line1/A/I0", "1"))
        self.assertTrue(self.watch.wait_value("krandolix/two/Line2/B/I0", "1"))
        self.watch.publish("krandolix/two/Line2/B/O0/set", "1")
        self.assertTrue(self.watch.wait_message("krandolix/two/Line2/B/O0/result",
                                                lambda m: json.loads(m[1])["result"] == "done"))
        self.assertEqual(len(self.sims["Line2"].frames()), 1)
        self.assertEqual(self.sims["Line1"].frames(), [])
        self.assertFalse(any(m[0].startswith("krandolix/one/Line2") for m in self.watch.messages))

    def test_a_tag_list_and_check(self):
        one = self.line("Line1", COM[0], [("A", 1)])
        with open(os.path.join(self.d, "Line1.tags"), "w") as f:
            f.write("# two tags\n운전=Line1.A:I0\n기동=Line1.A:O3\n")
        gw = Gateway(self.d, toml(self.broker.port, [("Line1", "Line1.cfg", "Line1.tags")],
                                  {COM[0]: one}), "tags")
        r = subprocess.run([os.path.join(gwtest.BIN, "drvgw"), "check", gw.path],
                           capture_output=True, text=True, timeout=20)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("channel Line1", r.stdout)
        self.assertIn("2 tags (1 outputs)", r.stdout)
        gw.start()
        self.gws.append(gw)
        self.assertTrue(self.watch.wait_value("krandolix/t/Line1/운전", "1"), gw.text())
        self.watch.publish("krandolix/t/Line1/기동/set", "1")
        self.assertTrue(self.watch.wait_message("krandolix/t/Line1/기동/result",
                                                lambda m: json.loads(m[1])["result"] == "done"))
        self.assertIn("control 1 data 0x08", self.sims["Line1"].frames()[0])

    def test_a_port_that_refuses_rs485_mode_stops_its_channel_alone(self):
        one = self.line("Line1", COM[0], [("A", 1)])
        two = self.line("Line2", COM[1], [("B", 2)])
        text = toml(self.broker.port, [("Line1", "Line1.cfg", None), ("Line2", "Line2.cfg", None)],
                    {COM[0]: one})
        # a pseudo-terminal has no RS-485 mode
        text = text.replace("[ports]\n", f'[ports]\nCOM{COM[1]} = {{ device = "{two}", rs485 = true }}\n')
        gw = Gateway(self.d, text, "rs485")
        r = subprocess.run([os.path.join(gwtest.BIN, "drvgw"), "check", gw.path],
                           capture_output=True, text=True, timeout=20)
        self.assertEqual(r.returncode, 2, r.stdout)
        self.assertIn(f"COM{COM[1]}: {two}: refuses RS-485 mode (TIOCGRS485): Inappropriate ioctl", r.stderr)
        gw.start()
        self.gws.append(gw)
        self.assertTrue(self.watch.wait_value("krandolix/t/Line1/A/I0", "1"), gw.text())
        self.assertTrue(wait_until(lambda: self.watch.json("krandolix/t/Line2/state") == {"state": "fault"}, 10),
                        gw.text())
        self.assertTrue(self.watch.wait_message(
            "krandolix/t/Line2/log", lambda m: f"not started: COM{COM[1]}: {two}: refuses RS-485 mode "
                                               "(TIOCSRS485)" in m[1], 5), gw.text())
        self.assertEqual(self.sims["Line2"].get(2, "polls"), 0)  # its port was never opened
        self.assertEqual(gw.proc.poll(), None)


class Service(GatewayCase):
    """What systemd sees: notifications on NOTIFY_SOCKET, and the unit template."""

    def test_ready_status_watchdog_reload_and_stop_are_notified(self):
        path = os.path.join(self.d, "notify")
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        sock.bind(path)
        sock.settimeout(0.2)
        got = []

        def collect(seconds):
            end = time.time() + seconds
            while time.time() < end:
                try:
                    got.extend(sock.recv(4096).decode().split("\n"))
                except socket.timeout:
                    pass
        self.start_gateway(env={"NOTIFY_SOCKET": path, "WATCHDOG_USEC": "400000"})
        collect(2)
        self.assertIn("READY=1", got)
        self.assertTrue(any(g.startswith("STATUS=1 channels, 0 not ok") for g in got), got)
        self.assertGreaterEqual(got.count("WATCHDOG=1"), 3, got)
        self.gw.signal(signal.SIGHUP)
        collect(1)
        self.assertIn("RELOADING=1", got)
        self.assertEqual(got[len(got) - got[::-1].index("RELOADING=1"):].count("READY=1"), 1)
        self.sim.cmd("fault 1 silent on")
        collect(3)
        self.assertTrue(any("1 stations in fault" in g for g in got), got)
        self.gw.stop()
        collect(0.5)
        self.assertIn("STOPPING=1", got)
        sock.close()

    def test_the_unit_template_passes_systemd_analyze_verify(self):
        unit = os.path.join(self.d, "drvgw@plant.service")
        template = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "packaging", "drvgw@.service")
        with open(template) as f:
            text = f.read()
        self.assertIn("ExecStart=/usr/bin/drvgw run /etc/krandolix/%i.toml", text)
        with open(unit, "w") as f:  # the program as built, where the package puts /usr/bin/drvgw
            f.write(text.replace("/usr/bin/drvgw", os.path.join(gwtest.BIN, "drvgw")))
        # (its Documentation= man page comes with the package: tests/dist checks it)
        r = subprocess.run(["systemd-analyze", "verify", "--man=no", unit], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(r.stderr.strip(), "")


class Tls(unittest.TestCase):
    def test_a_password_protected_tls_listener(self):
        with tempfile.TemporaryDirectory() as d:
            def run(*args):
                subprocess.run(args, check=True, cwd=d, capture_output=True)
            run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-keyout", "ca.key", "-out", "ca.crt", "-subj", "/CN=test CA")
            run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key",
                "-out", "server.csr", "-subj", "/CN=localhost")
            with open(os.path.join(d, "san.ext"), "w") as f:
                f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
            run("openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                "-CAcreateserial", "-out", "server.crt", "-days", "2", "-extfile", "san.ext")
            run(shutil.which("mosquitto_passwd") or "/usr/bin/mosquitto_passwd", "-b", "-c", "passwd", "gw", "s3cret")
            os.chmod(os.path.join(d, "passwd"), 0o644)
            os.chmod(os.path.join(d, "server.key"), 0o644)
            broker = Broker(d, extra=f"cafile {d}/ca.crt\ncertfile {d}/server.crt\n"
                                     f"keyfile {d}/server.key\nallow_anonymous false\n"
                                     f"password_file {d}/passwd\n")
            broker.start()
            sim = Sim(d, os.path.join(d, "line1"), ["1:0x01"])
            try:
                channel_config(os.path.join(d, "Line1.cfg"), COM[0], [("A", 1)])
                with open(os.path.join(d, "secret"), "w") as f:
                    f.write("s3cret\n")
                os.chmod(os.path.join(d, "secret"), 0o644)  # others may read it: refused
                text = toml(broker.port, [("Line1", "Line1.cfg", None)], {COM[0]: sim.link},
                            broker_extra='username = "gw"\npassword_file = "secret"\nca_file = "ca.crt"\n')
                gw = Gateway(d, text)
                r = subprocess.run([os.path.join(gwtest.BIN, "drvgw"), "check", gw.path],
                                   capture_output=True, text=True, timeout=20)
                self.assertEqual(r.returncode, 2)
                self.assertIn("others may read it", r.stderr)
                os.chmod(os.path.join(d, "secret"), 0o600)
                gw.start()
                watch = Watcher(broker.port, "krandolix/#", username="gw", password="s3cret",
                                tls=os.path.join(d, "ca.crt"))
                try:
                    self.assertTrue(watch.wait_value("krandolix/t/Line1/A/I0", "1", 15), gw.text())
                    self.assertEqual(watch.value("krandolix/t/online"), "1")
                finally:
                    watch.close()
                    gw.stop()
            finally:
                sim.stop()
                broker.stop()



def modbus_request(sock, unit, function, body, tid=1):
    """One Modbus TCP request; the reply's function code and data."""
    sock.sendall(struct.pack(">HHHBB", tid, 0, len(body) + 2, unit, function) + body)
    return receive_reply(sock)


def receive_reply(sock):
    """One Modbus TCP reply: its function code and data."""
    head = b""
    while len(head) < 7:
        chunk = sock.recv(7 - len(head))
        if not chunk:
            raise ConnectionError("closed")
        head += chunk
    _, _, length, _ = struct.unpack(">HHHB", head)
    rest = b""
    while len(rest) < length - 1:
        rest += sock.recv(length - 1 - len(rest))
    return rest[0], rest[1:]


class StopsOffTheLoop(GatewayCase):
    """A channel whose 40 stations have all gone silent: each pass runs out
    every station's time-out (40 s here), and slot 5 waits for the pass in
    progress, longer than systemd's watchdog. A reload, a settings save and a
    scan of it stop it on a thread of their own: the gateway goes on
    answering Modbus and telling the watchdog meanwhile."""

    SILENT = 40
    stations = [f"{n}:0x01" for n in range(1, SILENT + 1)]

    def setUp(self):
        super().setUp()
        self.cfg = os.path.join(self.d, "Line1.cfg")
        channel_config(self.cfg, COM[0], [(f"S{n}", n) for n in range(1, self.SILENT + 1)])

    def tearDown(self):
        # whatever happened, the stations answer again: the gateway's own stop is quick
        for n in range(1, self.SILENT + 1):
            self.sim.cmd(f"fault {n} silent off")
        super().tearDown()

    def web(self, method, path, body=None, headers=None, timeout=120):
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(f"http://127.0.0.1:{self.wport}{path}", data=data, method=method,
                                     headers={"Content-Type": "application/json", **(headers or {})})
        try:
            with urllib.request.urlopen(req, timeout=timeout) as r:
                return r.status, json.loads(r.read()), r.headers
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read()), e.headers

    @unittest.skipIf(os.environ.get("GATEWAY_SANITIZER"),
                     "a measure of time, taken in the plain build (a sanitizer's runs some times slower)")
    def test_a_reload_a_save_and_a_scan_of_silent_stations_hold_nothing_up(self):
        mport, self.wport = gwtest.free_port(), gwtest.free_port()
        notify = os.path.join(self.d, "notify")
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        sock.bind(notify)
        sock.settimeout(0.2)
        self.watch = Watcher(self.broker.port, PREFIX + "/#")
        self.gw = Gateway(self.d, toml(self.broker.port, [("Line1", "Line1.cfg", None)],
                                       {COM[0]: self.sim.link})
                          + f"\n[modbus]\nport = {mport}\n\n[web]\nport = {self.wport}\n",
                          env={"NOTIFY_SOCKET": notify, "WATCHDOG_USEC": "2000000"}).start()
        last = f"S{self.SILENT}"
        self.assertTrue(self.watch.wait_value(f"{PREFIX}/Line1/{last}/I0", "1", 30), self.gw.text())
        for n in range(1, self.SILENT + 1):
            self.sim.cmd(f"fault {n} silent on")
        # (the first station's fault: from then on every pass runs out all 40 time-outs;
        # it is told after a pass or more of them, so a busy machine may take minutes)
        self.assertTrue(self.watch.wait_message(f"{PREFIX}/Line1/station/S1",
                                                lambda m: json.loads(m[1])["state"] == "fault", 150),
                        self.gw.text()[-1500:])
        # a Modbus client reads, and the watchdog is told, all the while
        latencies, pings, stop = [], [], threading.Event()
        def poll():
            with socket.create_connection(("127.0.0.1", mport), 5) as s:
                s.settimeout(30)
                tid = 1
                while not stop.is_set():
                    started = time.monotonic()
                    modbus_request(s, 1, 2, struct.pack(">HH", 0, 8), tid=tid)
                    latencies.append(time.monotonic() - started)
                    tid = tid % 60000 + 1
                    time.sleep(0.05)
        def listen():
            while not stop.is_set():
                try:
                    if "WATCHDOG=1" in sock.recv(4096).decode().split("\n"):
                        pings.append(time.monotonic())
                except socket.timeout:
                    pass
        threads = [threading.Thread(target=poll, daemon=True), threading.Thread(target=listen, daemon=True)]
        for t in threads:
            t.start()
        started = time.monotonic()
        try:
            # a reload that changes the channel
            gwtest.drvcfg("edit-station", self.cfg, "S1", "--period", "0.3")
            self.gw.signal(signal.SIGHUP)
            # while it stops, a write to it is refused at once, saying why
            time.sleep(0.5)
            self.write("S2/O1")
            self.assertTrue(self.watch.wait_message(f"{PREFIX}/Line1/S2/O1/result", seconds=5))
            answer = json.loads(self.watch.on(f"{PREFIX}/Line1/S2/O1/result")[-1][1])
            self.assertEqual(answer["result"], "refused", answer)
            self.assertIn("being stopped", answer["reason"])
            self.assertTrue(wait_until(lambda: "reloaded: 1 channels" in self.gw.text(), 90), self.gw.text())
            # a save from the page
            status, settings, headers = self.web("GET", "/api/channels/Line1/settings")
            self.assertEqual(status, 200, settings)
            settings["stations"][0]["period_ms"] = 400
            status, answer, _ = self.web("PUT", "/api/channels/Line1/settings", settings,
                                         {"If-Match": headers["ETag"]})
            self.assertEqual(status, 200, answer)
            # and a scan of one number (it starts once the channel has stopped)
            status, answer, _ = self.web("POST", "/api/channels/Line1/scan", {"from": 1, "to": 1})
            self.assertEqual(status, 200, answer)
        finally:
            stop.set()
            for t in threads:
                t.join(40)
            sock.close()
        took = time.monotonic() - started
        worst = max(latencies)
        gaps = [b - a for a, b in zip(pings, pings[1:])]
        print(f"(a reload, a save and a scan in {took:.0f} s: {len(latencies)} Modbus reads, the slowest "
              f"{worst * 1000:.0f} ms; the watchdog told {len(pings)} times, the longest gap "
              f"{max(gaps) * 1000:.0f} ms)", file=sys.stderr)
        self.assertGreater(took, 40)  # (each of the three waited for a pass)
        self.assertLess(worst, 0.1)
        self.assertLess(max(gaps), 2.0)


class Modbus(GatewayCase):
    """The Modbus TCP server: mbpoll and raw clients against drvgw and mcsim."""

    def start_gateway(self, extra_gateway="", wait=True, env=None, modbus="", tags=None):
        self.mport = gwtest.free_port()
        self.watch = Watcher(self.broker.port, PREFIX + "/#")
        self.gw = Gateway(self.d, toml(self.broker.port, [("Line1", "Line1.cfg", tags)],
                                       {COM[0]: self.sim.link}, extra_gateway)
                          + f"\n[modbus]\nport = {self.mport}\n{modbus}").start()
        first = PREFIX + ("/Line1/운전" if tags else "/Line1/P7/I7")
        self.assertTrue(self.watch.wait_value(first, "1"), self.gw.text())
        self.assertTrue(wait_until(self.listening, 5), self.gw.text())

    def listening(self):
        s = self.connect()
        if s:
            s.close()
        return s is not None

    def connect(self):
        try:
            s = socket.create_connection(("127.0.0.1", self.mport), 1)
            s.settimeout(5)
            return s
        except OSError:
            return None

    def mbpoll(self, *args, values=()):
        r = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(self.mport), "-0", "-1", *args,
                            "127.0.0.1", *values], capture_output=True, text=True, timeout=20)
        return r.returncode, r.stdout

    def read(self, kind, ref, count, unit=1):
        rc, out = self.mbpoll("-a", str(unit), "-t", kind, "-r", str(ref), "-c", str(count))
        self.assertEqual(rc, 0, out)
        return [int(line.split(":")[1]) for line in out.splitlines() if line.startswith("[")]

    def test_discrete_inputs_follow_the_status_byte(self):
        self.start_gateway()
        # station positions: 0 펌프1 (0x05), 1 P2 (0x00), 2 P7 (0x80)
        self.assertEqual(self.read("1", 0, 24), [1, 0, 1, 0, 0, 0, 0, 0] + [0] * 8 + [0] * 7 + [1])
        self.sim.cmd("status 2 0x3C")
        self.assertTrue(wait_until(lambda: self.read("1", 8, 8) == [0, 0, 1, 1, 1, 1, 0, 0], 5))
        # a read that begins and ends inside a station's byte
        self.assertEqual(self.read("1", 10, 14), [1, 1, 1, 1, 0, 0] + [0] * 7 + [1])
        self.assertEqual(self.read("0", 0, 8), [0] * 8)  # coils read 0

    def test_a_coil_written_1_is_one_control_frame_0_is_nothing(self):
        self.start_gateway()
        rc, out = self.mbpoll("-a", "1", "-t", "0", "-r", "17", values=["1"])  # P7, O1
        self.assertEqual(rc, 0, out)
        self.assertTrue(wait_until(lambda: len(self.sim.frames()) == 1, 5))
        self.assertIn("control 7 data 0x02", self.sim.frames()[0])
        self.assertTrue(self.watch.wait_message(f"{PREFIX}/Line1/P7/O1/result",
                                                lambda m: json.loads(m[1])["result"] == "done"))
        rc, out = self.mbpoll("-a", "1", "-t", "0", "-r", "16", values=["0", "0", "0"])
        self.assertEqual(rc, 0, out)
        # several coils at once (function 15): 1 on O0 and O2 of 펌프1
        with self.connect() as s:
            fn, data = modbus_request(s, 1, 15, struct.pack(">HHBB", 0, 3, 1, 0b101))
            self.assertEqual(fn, 15, data)
        self.assertTrue(wait_until(lambda: len(self.sim.frames()) == 3, 5))
        time.sleep(0.5)
        self.assertEqual(len(self.sim.frames()), 3)

    def test_a_coil_without_an_output_tag_is_outside_the_map_for_every_function(self):
        # a tag list: P7's O1 alone is an output; P7's I7 an input
        with open(os.path.join(self.d, "Line1.tags"), "w") as f:
            f.write("운전=Line1.P7:I7\n기동=Line1.P7:O1\n")
        self.start_gateway(tags="Line1.tags")
        with self.connect() as s:
            self.assertEqual(modbus_request(s, 1, 1, struct.pack(">HH", 17, 1)), (1, bytes([1, 0])))
            for fn, body in [(1, struct.pack(">HH", 16, 1)), (1, struct.pack(">HH", 16, 2)),
                             (5, struct.pack(">HH", 16, 0xFF00)), (5, struct.pack(">HH", 16, 0)),
                             (15, struct.pack(">HHBB", 16, 2, 1, 0b10))]:
                self.assertEqual(modbus_request(s, 1, fn, body), (0x80 | fn, bytes([2])), (fn, body))
            # 0 to a tagged coil is taken and does nothing (a momentary button's release)
            self.assertEqual(modbus_request(s, 1, 5, struct.pack(">HH", 17, 0))[0], 5)
        time.sleep(0.5)
        self.assertEqual(self.sim.frames(), [])

    def test_busy_while_the_outputs_last_write_waits(self):
        self.sim.cmd("fault 2 delay 400")  # P2 answers late: its writes wait
        self.start_gateway()
        with self.connect() as s:
            fn, _ = modbus_request(s, 1, 5, struct.pack(">HH", 8, 0xFF00))
            self.assertEqual(fn, 5)
            answers = [modbus_request(s, 1, 5, struct.pack(">HH", 8, 0xFF00), tid=2 + i)
                       for i in range(5)]
        self.assertIn((0x85, bytes([6])), answers)  # server device busy
        self.assertTrue(wait_until(lambda: self.sim.get(2, "controls") >= 1, 5))
        time.sleep(1)
        self.assertEqual(self.sim.get(2, "controls"), 1 + sum(a[0] == 5 for a in answers))

    def test_input_registers_show_a_silenced_station(self):
        self.start_gateway()
        self.assertTrue(wait_until(lambda: self.read("3", 16, 6)[0] == 0, 5))  # P2 ok
        self.sim.cmd("fault 2 silent on")
        self.assertTrue(wait_until(lambda: self.read("3", 16, 6)[0] == 1, 10))
        regs = self.read("3", 16, 6)
        self.assertGreaterEqual(regs[4], 1)  # poll failures
        self.assertGreaterEqual(regs[3], regs[4])
        self.assertEqual(self.read("3", 32, 6)[5], 0x80)  # P7's status byte
        self.assertEqual(self.read("3", 46, 2), [0, 0])  # reserved
        # the same registers as holding registers (function 3), and the 32-bit counters
        holding = self.read("4", 16, 16)
        inputs = self.read("3", 16, 16)
        self.assertEqual(holding[:6], inputs[:6])
        for i in range(4):
            self.assertLessEqual(abs((holding[6 + 2 * i] << 16 | holding[7 + 2 * i]) - inputs[1 + i]), 5)

    def test_exceptions(self):
        self.start_gateway()
        with self.connect() as s:
            self.assertEqual(modbus_request(s, 1, 2, struct.pack(">HH", 20, 8)), (0x82, bytes([2])))
            self.assertEqual(modbus_request(s, 1, 4, struct.pack(">HH", 48, 1)), (0x84, bytes([2])))
            self.assertEqual(modbus_request(s, 1, 5, struct.pack(">HH", 24, 0xFF00)), (0x85, bytes([2])))
            self.assertEqual(modbus_request(s, 9, 2, struct.pack(">HH", 0, 8)), (0x82, bytes([0x0B])))
            self.assertEqual(modbus_request(s, 1, 6, struct.pack(">HH", 0, 1)), (0x86, bytes([1])))
            self.assertEqual(modbus_request(s, 1, 16, struct.pack(">HHBH", 0, 1, 2, 1)), (0x90, bytes([1])))
            # a byte count larger than the quantity needs: refused, not half done
            self.assertEqual(modbus_request(s, 1, 15, struct.pack(">HHBBB", 0, 3, 2, 7, 0)), (0x8F, bytes([3])))
            self.assertEqual(modbus_request(s, 1, 15, struct.pack(">HHBB", 0, 9, 1, 0xFF)), (0x8F, bytes([3])))
            self.assertEqual(modbus_request(s, 1, 5, struct.pack(">HH", 0, 0x1234)), (0x85, bytes([3])))
            self.assertEqual(modbus_request(s, 1, 4, struct.pack(">HH", 0, 126)), (0x84, bytes([3])))
            self.assertEqual(modbus_request(s, 1, 2, struct.pack(">HH", 0, 0)), (0x82, bytes([3])))
        self.assertEqual(self.sim.frames(), [])

    def test_read_only_set_by_a_reload_holds_at_once(self):
        self.start_gateway()
        with self.connect() as s:
            self.assertEqual(modbus_request(s, 1, 5, struct.pack(">HH", 17, 0xFF00))[0], 5)
        self.assertTrue(wait_until(lambda: len(self.sim.frames()) == 1, 5))
        self.gw.write(toml(self.broker.port, [("Line1", "Line1.cfg", None)], {COM[0]: self.sim.link},
                           "read_only = true") + f"\n[modbus]\nport = {self.mport}\n")
        self.gw.signal(signal.SIGHUP)
        self.assertTrue(wait_until(lambda: "reloaded" in self.gw.text(), 5), self.gw.text())
        with self.connect() as s:
            self.assertEqual(modbus_request(s, 1, 5, struct.pack(">HH", 18, 0xFF00)), (0x85, bytes([1])))
        time.sleep(0.3)
        self.assertEqual(len(self.sim.frames()), 1)

    def test_a_read_only_server_refuses_writes(self):
        self.start_gateway(modbus="read_only = true\n")
        with self.connect() as s:
            self.assertEqual(modbus_request(s, 1, 5, struct.pack(">HH", 0, 0xFF00)), (0x85, bytes([1])))
            fn, _ = modbus_request(s, 1, 2, struct.pack(">HH", 0, 8))
            self.assertEqual(fn, 2)
        time.sleep(0.3)
        self.assertEqual(self.sim.frames(), [])

    def test_ten_clients_and_one_that_sends_garbage(self):
        self.start_gateway(modbus="max_clients = 16\n")
        rss = self.gw.rss_kb()
        failures = []

        def client():
            try:
                with self.connect() as s:
                    for i in range(100):
                        fn, data = modbus_request(s, 1, 2, struct.pack(">HH", 0, 24), tid=i)
                        if fn != 2 or data[1] != 0b101:
                            failures.append((fn, data))
            except Exception as e:  # noqa: BLE001
                failures.append(e)
        threads = [threading.Thread(target=client) for _ in range(10)]
        for t in threads:
            t.start()
        # meanwhile: random bytes, and a request broken off in the middle
        rnd = random.Random(5)
        for _ in range(20):
            with self.connect() as bad:
                bad.sendall(bytes(rnd.getrandbits(8) for _ in range(rnd.randint(1, 300))))
                time.sleep(0.01)
        with self.connect() as half:
            half.sendall(struct.pack(">HHHBB", 1, 0, 6, 1, 2)[:9])
            time.sleep(0.3)
            with self.connect() as s:
                self.assertEqual(modbus_request(s, 1, 2, struct.pack(">HH", 0, 8))[0], 2)
        for t in threads:
            t.join(60)
        self.assertEqual(failures, [])
        self.assertLess(self.gw.rss_kb() - rss, 4096)
        self.assertEqual(self.read("1", 0, 8), [1, 0, 1, 0, 0, 0, 0, 0])

    def others_are_served_meanwhile(self, seconds):
        """For `seconds`: a reading client's answers and an MQTT write's result come in time."""
        slowest = 0.0
        end = time.time() + seconds
        with self.connect() as s:
            i = 0
            while time.time() < end:
                start = time.time()
                fn, data = modbus_request(s, 1, 2, struct.pack(">HH", 0, 8), tid=i)
                self.assertEqual(fn, 2)
                slowest = max(slowest, time.time() - start)
                i += 1
                time.sleep(0.02)
        self.assertLess(slowest, 1.0)
        before = len(self.results("P7/O5"))
        start = time.time()
        self.write("P7/O5")
        self.assertTrue(wait_until(lambda: "done" in [r["result"] for r in self.results("P7/O5")[before:]], 5))
        self.assertLess(time.time() - start, 5)

    def test_a_client_that_never_reads_its_replies_holds_nobody_up(self):
        self.start_gateway()
        greedy = socket.socket()
        greedy.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        greedy.connect(("127.0.0.1", self.mport))
        greedy.setblocking(False)
        request = struct.pack(">HHHBBHH", 1, 0, 6, 1, 4, 0, 48)  # 48 registers: a 103-byte reply each
        sent = [0]
        stop = threading.Event()

        def pipeline():
            while not stop.is_set() and sent[0] < 20_000_000:
                try:
                    sent[0] += greedy.send(request * 64)
                except BlockingIOError:
                    time.sleep(0.01)
                except OSError:
                    return  # dropped
        t = threading.Thread(target=pipeline)
        t.start()
        try:
            self.assertTrue(wait_until(lambda: sent[0] > 200_000, 10))
            self.others_are_served_meanwhile(3)
            self.assertTrue(wait_until(lambda: "does not take its replies" in self.gw.text(), 15), self.gw.text())
        finally:
            stop.set()
            t.join(10)
            greedy.close()
        self.others_are_served_meanwhile(0.5)

    def test_a_client_that_sends_a_byte_at_a_time_holds_nobody_up(self):
        self.start_gateway()
        request = struct.pack(">HHHBBHH", 1, 0, 6, 1, 2, 0, 8)
        answered = []

        def trickle():
            with self.connect() as s:
                for i in range(4):
                    for b in request:
                        s.send(bytes([b]))
                        time.sleep(0.04)
                    answered.append(receive_reply(s))
                s.send(request[:5])  # and then nothing: dropped once its request is overdue
                s.settimeout(10)
                answered.append(s.recv(10))
        t = threading.Thread(target=trickle)
        t.start()
        self.others_are_served_meanwhile(2)
        t.join(20)
        self.assertEqual([a[0] for a in answered[:4]], [2] * 4)
        self.assertEqual(answered[4], b"")
        self.assertIn("did not complete in time", self.gw.text())

    def test_max_clients_and_the_idle_time_out(self):
        self.start_gateway(modbus="max_clients = 2\nidle_timeout = 1\n")
        a, b = self.connect(), self.connect()
        with self.connect() as third:  # one more than allowed: closed at once
            self.assertEqual(third.recv(10), b"")
        self.assertEqual(modbus_request(a, 1, 2, struct.pack(">HH", 0, 8))[0], 2)
        time.sleep(2.5)  # idle past its time-out: closed
        self.assertEqual(a.recv(10), b"")
        a.close()
        b.close()
        with self.connect() as c:
            self.assertEqual(modbus_request(c, 1, 2, struct.pack(">HH", 0, 8))[0], 2)

    def test_idle_connections_that_fill_every_slot_lock_nobody_out(self):
        # connections that send nothing, as many as max_clients, with a long idle time-out
        self.start_gateway(modbus="max_clients = 3\nidle_timeout = 60\n")
        def served_once():
            # (served once, so that it is the server's, then quiet; the probes
            # of start_gateway may hold a slot until the server sees them gone)
            for _ in range(20):
                s = self.connect()
                try:
                    if modbus_request(s, 1, 2, struct.pack(">HH", 0, 8))[0] == 2:
                        return s
                except ConnectionError:
                    pass
                s.close()
                time.sleep(0.1)
            self.fail("no slot")
        idle = [served_once() for _ in range(3)]
        try:
            time.sleep(2.5)  # (quiet past the time a full server waits before it takes a slot back)
            with self.connect() as c:
                self.assertEqual(modbus_request(c, 1, 2, struct.pack(">HH", 0, 8))[0], 2)
            self.assertIn("quiet longest, closed to make room", self.gw.text())
            closed = 0
            for s in idle:
                s.settimeout(0.5)
                try:
                    closed += s.recv(10) == b""
                except socket.timeout:
                    pass
            self.assertEqual(closed, 1)
        finally:
            for s in idle:
                s.close()

if __name__ == "__main__":
    gwtest.BIN = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
