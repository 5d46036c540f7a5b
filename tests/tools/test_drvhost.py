#!/usr/bin/env python3
"""drvhost as scripts use it (--jsonl), against a simulator.

Run: test_drvhost.py DRVCFG -- DRVHOST-COMMAND...
(the command may start with a runner such as scripts/wine-run), through
scripts/with-mcsim: the first of MCSIM_COMS is the simulator's port."""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

COM = os.environ.get("MCSIM_COMS", "").split()[0] if os.environ.get("MCSIM_COMS") else None
DRVCFG = None
DRVHOST = None


def sim(command):
    with socket.create_connection(("127.0.0.1", int(os.environ["MCSIM_COM" + COM]))) as s:
        s.sendall((command + "\n").encode())
        return s.makefile().readline().strip()


class Drvhost(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.config = os.path.join(self.dir.name, "Line9.cfg")
        for args in (["new", self.config], ["set", self.config, "--port", "COM" + COM, "--timeout", "1"],
                     ["add-station", self.config, "--name", "펌프1", "--number", "1", "--period", "0.2"],
                     ["add-station", self.config, "--name", "팬", "--number", "3", "--period", "0.2"]):
            subprocess.run([DRVCFG, *args], check=True)
        self.assertEqual(sim("reset"), "ok")
        sim("add 1 0x05 set")
        sim("add 3 0x00")

    def tearDown(self):
        self.dir.cleanup()

    def run_host(self, commands, *args, timeout=60):
        """Runs drvhost with commands fed one by one once the scan runs; returns events and code."""
        # --duration: a run that waits for something that never comes still ends
        if "--duration" not in args:
            args = (*args, "--duration", "40")
        p = subprocess.Popen([*DRVHOST, "run", self.config, *args, "--jsonl"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        events = []
        pending = list(commands)
        deadline = time.time() + timeout
        while time.time() < deadline:
            line = p.stdout.readline()
            if not line:
                break
            event = json.loads(line.decode("utf-8"))
            events.append(event)
            # a command goes out once what it waits for has arrived
            while pending and (callable(pending[0]) and pending[0](events) or pending[0] is None):
                pending.pop(0)
            if pending and isinstance(pending[0], str):
                p.stdin.write((pending.pop(0) + "\n").encode("utf-8"))
                p.stdin.flush()
            if not pending and p.stdin:
                p.stdin.close()
                p.stdin = None
        rc = p.wait(timeout=30)
        p.stdout.close()
        p.stderr.close()
        return events, rc

    def test_values_writes_and_status(self):
        has = lambda kind, **kw: lambda ev: any(e["event"] == kind and all(e.get(k) == v for k, v in kw.items()) for e in ev)
        events, rc = self.run_host(
            [has("value", tag="펌프1.운전"), "write 펌프1.기동", has("done", tag="펌프1.기동"),
             "status", "status 팬", "disable 팬", "status 팬", "write 없는태그", "quit"],
            "--tag", "펌프1.운전=Line.펌프1:I0", "--tag", "펌프1.기동=Line.펌프1:O6",
            "--tag", "팬.운전=팬:i1", "--tag", "나쁜=팬:I9")
        self.assertEqual(rc, 0)
        registered = [(e["tag"], e["handle"]) for e in events if e["event"] == "register"]
        self.assertEqual(registered, [("펌프1.운전", 0), ("펌프1.기동", 1), ("팬.운전", 1 << 23), ("나쁜", -1)])
        self.assertIn({"event": "start", "result": 0}, events)
        self.assertIn({"event": "log", "kind": "fault",
                       "text": "Krandolix : 나쁜 태그 (I9) : 사용되지 않는 입력 어드레스가 지정됨"}, events)
        self.assertIn({"event": "value", "tag": "펌프1.운전", "value": 1}, events)
        self.assertIn({"event": "value", "tag": "팬.운전", "value": 0}, events)
        self.assertIn({"event": "write", "tag": "펌프1.기동", "result": 0}, events)
        self.assertIn({"event": "log", "kind": "info", "text": "Krandolix : 펌프1 스테이션 : 제어 성공"}, events)
        self.assertEqual(sim("get 1").split()[1], "status=0x45")
        statuses = [e for e in events if e["event"] == "status"]
        self.assertEqual([(s["station"], s["result"]) for s in statuses], [(None, 0), ("팬", 0), ("팬", -1)])
        self.assertEqual(statuses[0]["counters"][0], 0)   # the last station's counters: 팬 took no write
        self.assertGreaterEqual(statuses[1]["counters"][2], 1)
        self.assertIn({"event": "write", "tag": "없는태그", "result": -1}, events)

    def test_end_of_input_stops_cleanly_and_a_fault_is_counted(self):
        sim("fault 3 silent on")
        events, rc = self.run_host(
            [lambda ev: sum(1 for e in ev if e["event"] == "log" and "수신 Timeout" in e["text"]) >= 1, "status 팬"],
            "--tag", "팬.운전=팬:I0")
        self.assertEqual(rc, 0)
        status = [e for e in events if e["event"] == "status"][-1]
        self.assertEqual(status["result"], 1)
        self.assertGreaterEqual(status["counters"][3], 1)

    def test_duration_ends_the_run(self):
        start = time.time()
        events, rc = self.run_host([None], "--duration", "1", "--tag", "a=펌프1:I0")
        self.assertEqual(rc, 0)
        self.assertLess(time.time() - start, 20)

    def test_a_channel_that_cannot_open_exits_2(self):
        p = subprocess.run([*DRVHOST, "run", os.path.join(self.dir.name, "missing.cfg"), "--jsonl"],
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 2)
        self.assertIn(b'"event":"error"', p.stdout)

    def test_nonsense_command_lines_exit_64(self):
        for args in (["frob"], ["run", self.config, "--tag", "no-equals-sign"], ["run", self.config, "--what"]):
            p = subprocess.run([*DRVHOST, *args], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            self.assertEqual(p.returncode, 64, args)


if __name__ == "__main__":
    DRVCFG = sys.argv[1]
    split = sys.argv.index("--")
    DRVHOST = sys.argv[split + 1:]
    del sys.argv[1:]
    unittest.main(verbosity=2)
