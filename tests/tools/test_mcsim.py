#!/usr/bin/env python3
"""mcsim as a peer: its replies, its rules, its faults and its control port.

Run: test_mcsim.py PATH_TO_MCSIM"""
import os
import select
import socket
import subprocess
import sys
import tempfile
import time
import tty
import unittest

MCSIM = None


def frame(station, data):
    f = bytes([2, 0x30 + (station >> 4 & 15), 0x30 + (station & 15), 0x30 + (data >> 4), 0x30 + (data & 15)])
    x = 0
    for b in f:
        x ^= b
    return f + bytes([0x30 + (x >> 4), 0x30 + (x & 15), 3])


class Mcsim(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.link = os.path.join(self.dir.name, "com1")
        self.log = open(os.path.join(self.dir.name, "log"), "w+")
        self.proc = subprocess.Popen([MCSIM, "--trace", "--control-port", "0", "--link", self.link,
                                      "1:0xA5", "31:0:toggle", "7:0:set"],
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        port = None
        for _ in range(200):
            self.log.seek(0)
            for line in self.log:
                if line.startswith("control "):
                    port = int(line.split()[1])
            if port:
                break
            time.sleep(0.02)
        self.assertIsNotNone(port)
        self.ctl = socket.create_connection(("127.0.0.1", port))
        self.ctl_in = self.ctl.makefile("r")
        self.fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)

    def tearDown(self):
        os.close(self.fd)
        self.ctl.close()
        self.proc.terminate()
        self.proc.wait(5)
        self.log.close()
        self.dir.cleanup()
        self.assertFalse(os.path.lexists(self.link))  # the link goes with the simulator

    def cmd(self, line):
        self.ctl.sendall((line + "\n").encode())
        return self.ctl_in.readline().strip()

    def exchange(self, request, wait=0.3):
        os.write(self.fd, request)
        got = b""
        deadline = time.time() + wait
        while time.time() < deadline:
            r, _, _ = select.select([self.fd], [], [], max(0, deadline - time.time()))
            if r:
                got += os.read(self.fd, 100)
        return got

    def test_polls_and_controls_follow_each_stations_rule(self):
        self.assertEqual(self.exchange(frame(1, 0)), frame(1, 0xA5))
        self.assertEqual(self.exchange(frame(31, 0x04)), frame(31, 0x04))  # toggle input 2 on
        self.assertEqual(self.exchange(frame(31, 0x04)), frame(31, 0x00))  # and off again
        self.assertEqual(self.exchange(frame(7, 0x80)), frame(7, 0x80))
        self.assertEqual(self.exchange(frame(7, 0x80)), frame(7, 0x80))    # set stays set
        self.assertEqual(self.exchange(frame(1, 0x01)), frame(1, 0xA5))    # rule none
        self.assertEqual(self.exchange(frame(9, 0)), b"")                  # no such station
        self.assertEqual(self.cmd("get 31"), "ok status=0x00 polls=0 controls=2 replies=2")
        self.assertEqual(self.cmd("status 1 0x3C"), "ok")
        self.assertEqual(self.exchange(frame(1, 0)), frame(1, 0x3C))

    def test_bad_requests_get_no_reply_and_are_traced(self):
        bad = bytearray(frame(1, 0))
        bad[6] ^= 1
        self.assertEqual(self.exchange(bytes(bad)), b"")
        self.assertTrue(self.cmd("counters").startswith("ok frames=0 bad=1"))
        self.log.flush()
        with open(self.log.name) as f:
            self.assertIn("BAD FRAME", f.read())

    def test_faults(self):
        self.assertEqual(self.cmd("fault 1 silent on"), "ok")
        self.assertEqual(self.exchange(frame(1, 0)), b"")
        self.assertEqual(self.cmd("fault 1 clear"), "ok")
        self.cmd("fault 1 wrongstation on")
        self.assertEqual(self.exchange(frame(1, 0)), frame(2, 0xA5))
        self.cmd("fault 1 clear")
        self.cmd("fault 1 badcheck on")
        reply = self.exchange(frame(1, 0))
        self.assertEqual(reply[:6] + reply[7:], frame(1, 0xA5)[:6] + frame(1, 0xA5)[7:])
        self.assertNotEqual(reply[6], frame(1, 0xA5)[6])
        self.cmd("fault 1 clear")
        self.cmd("fault 1 garbage on")
        reply = self.exchange(frame(1, 0))
        self.assertTrue(reply.endswith(frame(1, 0xA5)) and len(reply) > 8)
        self.assertNotIn(2, reply[:-8])
        self.cmd("fault 1 clear")
        self.cmd("fault 1 split 150")
        os.write(self.fd, frame(1, 0))
        time.sleep(0.08)
        first = os.read(self.fd, 100)
        self.assertTrue(0 < len(first) < 8)
        self.assertEqual(first + self.exchange(b"", 0.5), frame(1, 0xA5))
        self.cmd("fault 1 clear")
        self.cmd("fault 1 delay 300")
        self.assertEqual(self.exchange(frame(1, 0), 0.15), b"")
        self.assertEqual(self.exchange(b"", 0.4), frame(1, 0xA5))

    def test_control_commands_report_errors(self):
        self.assertTrue(self.cmd("get 99").startswith("error"))
        self.assertTrue(self.cmd("fault 1 bogus on").startswith("error"))
        self.assertTrue(self.cmd("frobnicate").startswith("error"))
        # each command's own answer to arguments that do not fit it
        self.assertEqual(self.cmd("add"), "error usage: add N [STATUS] [none|set|toggle]")
        self.assertEqual(self.cmd("add 1 0x100"), "error usage: add N [STATUS] [none|set|toggle]")
        self.assertEqual(self.cmd("fault 1 silent"), "error usage: fault N NAME on|off|MS")
        self.assertEqual(self.cmd("fault 1 silent maybe"), "error on or off")
        self.assertEqual(self.cmd("fault 1 delay soon"), "error unknown fault")
        self.assertEqual(self.cmd("status 1 0x100"), "error unknown command")
        self.assertEqual(self.cmd("rule 1 sometimes"), "error unknown command")
        self.assertEqual(self.cmd("status 77 1"), "error no such station")
        self.assertEqual(self.cmd("status 1 0x42"), "ok")
        self.assertTrue(self.cmd("get 1").startswith("ok status=0x42 "))
        self.assertEqual(self.cmd("add 99 0x10 toggle"), "ok")
        self.assertEqual(self.cmd("remove 99"), "ok")
        self.assertEqual(self.cmd("reset"), "ok")
        self.assertEqual(self.exchange(frame(1, 0)), b"")


if __name__ == "__main__":
    MCSIM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
