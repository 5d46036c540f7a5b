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
# the Windows build: a program that presses the dialog's buttons from outside
DIALOG_POKE = os.environ.get("DIALOG_POKE")


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

    def test_the_trace_holds_the_frames_mcsim_saw_with_their_verdicts(self):
        # stations with every fault the driver tells apart, beside two good ones
        for number, fault in ((2, None), (4, "silent"), (6, "badcheck"), (8, "wrongstation"),
                              (10, "garbage"), (12, "restart"), (14, "badthengood")):
            subprocess.run([DRVCFG, "add-station", self.config, "--name", f"s{number}", "--number",
                            str(number), "--period", "0.2"], check=True)
            sim(f"add {number} 0x{number:02x}")
            if fault:
                sim(f"fault {number} {fault} on")
        subprocess.run([DRVCFG, "set", self.config, "--retries", "0"], check=True)
        log = os.environ["MCSIM_LOG_COM" + COM]
        start = os.path.getsize(log)
        trace_dir = os.path.join(self.dir.name, "trace")
        os.mkdir(trace_dir)
        # three time-outs of a second each a pass: about three passes (input kept open)
        events, rc = self.run_host([lambda ev: False], "--duration", "9", "--trace", trace_dir,
                                   "--tag", "a=s2:I0")
        self.assertEqual(rc, 0)
        with open(log, encoding="utf-8") as f:
            f.seek(start)
            seen = f.read().splitlines()
        with open(os.path.join(trace_dir, "Line9.trace"), encoding="utf-8") as f:
            trace = f.read().splitlines()

        def frames(lines, marker):
            # "HH:MM:SS.mmm <- 02 30 ...  poll 1": the bytes between the marker and two blanks
            out = []
            for line in lines:
                head, _, rest = line.partition(f" {marker} ")
                if rest:
                    out.append(rest.split("  ")[0])
            return out
        sent = frames(trace, "TX")
        self.assertGreater(len(sent), 18)
        # every frame mcsim received, in order, and nothing else
        self.assertEqual(sent, frames(seen, "<-"))
        # every byte mcsim answered, read by the driver in the order sent (none purged unread)
        received = " ".join(frames(trace, "RX"))
        answered = " ".join(frames(seen, "->"))
        self.assertEqual(received, answered)
        self.assertFalse([line for line in trace if "purge" in line])
        text = "\n".join(trace)
        for verdict in ("TX 02 30 32 30 30 30 30 03  poll 2",
                        "RX 02 30 32 30 32 30 32 03  reply 2 status 0x02 [00000010] good",
                        "time-out after 1",  # silent 4: a second and a few ms
                        "waiting for station 4",
                        "reply 6 check error: expected 30 32, received 30 30",
                        "another station: reply of 9, waiting for 8",
                        "RX 55 AA 7E 30  skipped: 4 bytes outside a frame",
                        "RX 02 30 3C  broken off by a new STX",
                        "RX 02 30 3C 30 3C 30 32 03  reply 12 status 0x0C [00001100] good",
                        "reply 14 check error: expected 30 32, received 31 32",
                        "reply 14 status 0x0E [00001110] good"):
            self.assertIn(verdict, text)
        self.assertRegex(trace[0], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} TX ")

    def test_a_trace_folder_that_cannot_be_written_is_reported_once(self):
        blocker = os.path.join(self.dir.name, "a-file")
        open(blocker, "w").close()
        events, rc = self.run_host(
            [lambda ev: sum(1 for e in ev if e["event"] == "value") >= 1, "stop\nstart",
             lambda ev: sum(1 for e in ev if e["event"] == "start") >= 2, "status 펌프1", "quit"],
            "--trace", os.path.join(blocker, "trace"), "--tag", "a=펌프1:I0")
        self.assertEqual(rc, 0)
        reported = [e for e in events if e["event"] == "log" and "프레임 기록" in e["text"]]
        self.assertEqual(len(reported), 1, reported)
        self.assertEqual(reported[0]["kind"], "fault")
        self.assertIn("Line9.trace", reported[0]["text"])
        self.assertIn({"event": "value", "tag": "a", "value": 1}, events)
        self.assertEqual([e["result"] for e in events if e["event"] == "start"], [0, 0])

    def show(self):
        return json.loads(subprocess.run([DRVCFG, "show", self.config, "--json"], check=True,
                                         capture_output=True).stdout)

    @unittest.skipIf(DIALOG_POKE, "the Windows build has the dialog")
    def test_configure_on_linux_says_there_is_no_dialog(self):
        with open(self.config, "rb") as f:
            before = f.read()
        p = subprocess.run([*DRVHOST, "configure", self.config], stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 1)
        self.assertIn("이 플랫폼에서는 설정 대화상자를 사용할 수 없습니다.", p.stderr.decode("utf-8"))
        with open(self.config, "rb") as f:
            self.assertEqual(f.read(), before)

    @unittest.skipUnless(DIALOG_POKE, "Linux has no dialog")
    def test_configure_opens_the_dialog_and_saves_on_ok_only(self):
        sheet = "디바이스 설정 (Dravik 모터컨트롤러)"
        poke = [*DRVHOST[:-1], DIALOG_POKE, sheet]

        def configure(*actions):
            p = subprocess.Popen([*DRVHOST, "configure", self.config], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                self.assertEqual(subprocess.run([*poke, *actions], timeout=120).returncode, 0)
                return p.wait(60)
            finally:
                if p.poll() is None:
                    p.kill()
                    p.wait()

        self.assertEqual(self.show()["baud"], 9600)
        with open(self.config, "rb") as f:
            before = f.read()
        # a new speed chosen, then cancelled: nothing written
        self.assertEqual(configure("select:9014:7", "cancel"), 1)
        with open(self.config, "rb") as f:
            self.assertEqual(f.read(), before)
        # chosen and confirmed: the file has it, and keeps its stations
        self.assertEqual(configure("select:9014:7", "ok"), 0)
        shown = self.show()
        self.assertEqual(shown["baud"], 19200)
        self.assertEqual([st["name"] for st in shown["stations"]], ["펌프1", "팬"])

    def test_run_by_name_from_path_in_a_folder_of_its_own(self):
        if len(DRVHOST) != 1:
            self.skipTest("a program run through a runner is not found on PATH")
        # as a person types it: the program found on PATH, started elsewhere
        folder, name = os.path.split(os.path.abspath(DRVHOST[0]))
        env = dict(os.environ, PATH=folder + os.pathsep + os.environ.get("PATH", ""))
        p = subprocess.run([name, "run", self.config, "--jsonl", "--duration", "1", "--tag", "a=펌프1:I0"],
                           cwd=self.dir.name, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr.decode("utf-8", "replace"))
        self.assertIn(b'"event":"start","result":0', p.stdout)

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
