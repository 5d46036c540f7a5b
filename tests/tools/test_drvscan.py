#!/usr/bin/env python3
"""drvscan against a simulator with stations at scattered numbers, some of them
faulty: what it reports is compared with what the simulator was told.

Run: test_drvscan.py -- DRVSCAN-COMMAND... (the command may start with a
runner such as scripts/wine-run), through scripts/with-mcsim: MCSIM_COMS names
the simulator's port. WINE=1 in the environment: the Windows program."""
import json
import os
import pty
import re
import signal
import socket
import subprocess
import sys
import time
import unittest

COM = os.environ.get("MCSIM_COMS", "").split()[0] if os.environ.get("MCSIM_COMS") else None
DRVSCAN = None
UNDER_WINE = os.environ.get("WINE") == "1"

# number -> (status, fault)
STATIONS = {0: (0x11, None), 3: (0x05, None), 17: (0x80, None), 18: (0x00, "silent"),
            25: (0x3C, "badcheck"), 31: (0x01, "wrongstation"), 33: (0xFF, "garbage"),
            40: (0x42, "badthengood"), 254: (0x07, None)}


def sim(command):
    with socket.create_connection(("127.0.0.1", int(os.environ["MCSIM_COM" + COM]))) as s:
        s.sendall((command + "\n").encode())
        return s.makefile().readline().strip()


def scan(*args, timeout=120):
    return subprocess.run([*DRVSCAN, "COM" + COM, *args], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)


def run_on_terminal(args, timeout=120):
    """Runs drvscan with a pseudo-terminal as standard output and error; returns
    what the terminal showed (decoded as UTF-8) and the exit status."""
    master, slave = pty.openpty()
    p = subprocess.Popen([*DRVSCAN, "COM" + COM, *args], stdin=slave, stdout=slave, stderr=slave)
    os.close(slave)
    shown = b""
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the other side closed
            break
        if not chunk:
            break
        shown += chunk
    os.close(master)
    return plain(shown.decode("utf-8", "replace")), p.wait(30)


def plain(shown):
    """What a terminal shows without its control sequences and blanks (Wine's
    console draws text with cursor moves between the words)."""
    return re.sub(r"\s", "", re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", shown))


class Drvscan(unittest.TestCase):
    def setUp(self):
        self.assertEqual(sim("reset"), "ok")
        self.assertEqual(sim("baud any"), "ok")
        for number, (status, fault) in STATIONS.items():
            self.assertEqual(sim(f"add {number} {status}"), "ok")
            if fault:
                self.assertEqual(sim(f"fault {number} {fault} on"), "ok")

    def expected(self, low, high):
        good = [{"number": n, "status": s} for n, (s, f) in sorted(STATIONS.items())
                if low <= n <= high and f in (None, "garbage", "badthengood")]
        garbled = [{"number": n, "reason": "check" if f == "badcheck" else "station"}
                   for n, (s, f) in sorted(STATIONS.items())
                   if low <= n <= high and f in ("badcheck", "wrongstation")]
        return good, garbled

    def test_the_stations_the_simulator_has_and_their_faults(self):
        p = scan("--to", "45", "--timeout", "40", "--json")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(p.stderr, b"")  # no progress bar when the output is not a terminal
        result = json.loads(p.stdout)
        self.assertEqual(sorted(result), ["baud", "garbled", "port", "stations"])
        self.assertEqual(result["port"], "COM" + COM)
        self.assertEqual(result["baud"], 9600)
        good, garbled = self.expected(0, 45)
        self.assertEqual([{"number": s["number"], "status": s["status"]} for s in result["stations"]], good)
        for s in result["stations"]:
            self.assertEqual(sorted(s), ["number", "reply_ms", "status"])
            self.assertGreaterEqual(s["reply_ms"], 0)
            self.assertLess(s["reply_ms"], 40)
        self.assertEqual(result["garbled"], garbled)
        # every number polled once, in order
        self.assertIn("frames=46 ", sim("counters") + " ")

    def test_the_last_station_number_and_other_line_settings(self):
        p = scan("--from", "250", "--to", "254", "--timeout", "40", "--parity", "even",
                 "--data-bits", "7", "--stop-bits", "2", "--baud", "38400", "--json")
        self.assertEqual(p.returncode, 0, p.stderr)
        result = json.loads(p.stdout)
        self.assertEqual(result["baud"], 38400)
        self.assertEqual([(s["number"], s["status"]) for s in result["stations"]], [(254, 7)])

    def test_every_rate_and_the_right_one_stands_out(self):
        self.assertEqual(sim("baud 4800"), "ok")
        p = scan("--to", "45", "--timeout", "25", "--baud", "all", "--json")
        self.assertEqual(p.returncode, 0, p.stderr)
        result = json.loads(p.stdout)
        self.assertEqual(sorted(result), ["port", "rates"])
        good, garbled = self.expected(0, 45)
        want = [{"baud": b, "answered": len(good) if b == 4800 else 0,
                 "garbled": len(garbled) if b == 4800 else 0}
                for b in (150, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400)]
        self.assertEqual(result["rates"], want)

        p = scan("--to", "45", "--timeout", "25", "--baud", "all")
        self.assertEqual(p.returncode, 0, p.stderr)
        lines = p.stdout.decode("utf-8").splitlines()
        self.assertTrue(any(line.split()[:3] == ["4800", str(len(good)), str(len(garbled))] and "<-" in line
                            for line in lines), lines)

    def test_text_for_a_person(self):
        p = scan("--to", "45", "--timeout", "40")
        self.assertEqual(p.returncode, 0, p.stderr)
        text = p.stdout.decode("utf-8")  # redirected: UTF-8
        self.assertIn("  25  answers, but garbled: check speed, parity and wiring (check character)", text)
        self.assertIn("  31  answers, but garbled: check speed, parity and wiring (another station's number)", text)
        self.assertIn("     3  0x05  00000101", text)
        self.assertIn("국번", text)
        self.assertNotIn("  18  ", text)

    def test_on_a_terminal_a_progress_bar_and_korean_that_reads_right(self):
        # Under Wine the terminal is a console: the text goes through WriteConsoleW,
        # and Wine shows it on the terminal in UTF-8 while the console's code page is 949.
        shown, rc = run_on_terminal(["--to", "20", "--timeout", "30"])
        self.assertEqual(rc, 0, shown)
        self.assertIn("[#", shown)
        self.assertIn("21/21", shown)
        self.assertIn("국번", shown)
        self.assertIn("응답", shown)
        self.assertNotIn("\ufffd", shown)

    @unittest.skipIf(UNDER_WINE, "a signal to Wine's process is not a console's Ctrl-C")
    def test_ctrl_c_ends_with_what_was_found(self):
        p = subprocess.Popen([*DRVSCAN, "COM" + COM, "--timeout", "100", "--json"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # numbers 0-17 answer or stay silent within about 1.5 s; 18 is silent
        time.sleep(2.5)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=30)
        self.assertEqual(p.returncode, 130, err)
        result = json.loads(out)
        numbers = [s["number"] for s in result["stations"]]
        self.assertEqual(numbers[:3], [0, 3, 17])
        self.assertNotIn(254, numbers)

    def test_a_port_that_cannot_be_opened(self):
        p = subprocess.run([*DRVSCAN, "COM35", "--to", "3"], stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 2)
        self.assertIn(b"COM35", p.stderr)
        self.assertIn(b"cannot be opened", p.stderr)

    @unittest.skipIf(UNDER_WINE, "Wine does not keep a COM port to its first opener as Windows does")
    def test_a_port_held_by_another_user_of_the_line(self):
        # (as a running channel holds it)
        holder = subprocess.Popen([*DRVSCAN, "COM" + COM, "--timeout", "60000", "--from", "18", "--to", "18"],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(2 if UNDER_WINE else 0.5)
            p = scan("--to", "3")
            self.assertEqual(p.returncode, 2, p.stdout)
            self.assertIn(("COM" + COM).encode(), p.stderr)
        finally:
            holder.kill()
            holder.wait()

    @unittest.skipIf(UNDER_WINE, "the Windows line's mode belongs to its port driver: the options are refused")
    def test_rs485_mode_on_a_port_without_it_is_refused_before_any_poll(self):
        before = sim("get 1")
        p = scan("--rs485", "--rts-after-send", "--delay-before-send", "2", "--to", "3")
        self.assertEqual(p.returncode, 2, p.stdout)
        self.assertIn(f"COM{COM}: ".encode(), p.stderr)
        self.assertIn(b"refuses RS-485 mode (TIOCSRS485)", p.stderr)
        self.assertEqual(sim("get 1"), before)  # nothing was sent

    def test_nonsense_command_lines_exit_64(self):
        rs485_alone = [["COM3", "--rts-on-send"], ["COM3", "--delay-after-send", "5"],
                       ["COM3", "--rs485", "--rts-on-send", "--rts-after-send"],
                       ["COM3", "--rs485", "--delay-before-send", "101"]]
        if UNDER_WINE:
            rs485_alone.append(["COM3", "--rs485"])
        for args in ([], ["COM0"], ["COM37"], ["LPT1"], ["COM3", "--baud", "1234"], ["COM3", "--parity", "mark"],
                     ["COM3", "--data-bits", "6"], ["COM3", "--stop-bits", "3"], ["COM3", "--from", "9", "--to", "3"],
                     ["COM3", "--to", "255"], ["COM3", "--timeout", "0"], ["COM3", "--frob"], ["COM3", "--from"],
                     *rs485_alone):
            p = subprocess.run([*DRVSCAN, *args], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            self.assertEqual(p.returncode, 64, args)
            self.assertIn(b"usage: drvscan", p.stderr)


if __name__ == "__main__":
    split = sys.argv.index("--")
    DRVSCAN = sys.argv[split + 1:]
    del sys.argv[1:]
    unittest.main(verbosity=2)
