#!/usr/bin/python3
"""The gateway's rooms: the tree as it is passes, and an include the wrong way
(the edges that pointed the wrong way once, and the driver's headers in a way
in) is named with its file and line.

Run: test_check_rooms.py SOURCE_FOLDER"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
CHECK = os.path.join(SOURCE, "scripts", "check_rooms.py")


def check(folder):
    return subprocess.run([sys.executable, CHECK, folder], capture_output=True, text=True)


class Rooms(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.gateway = os.path.join(self.tmp.name, "gateway")
        shutil.copytree(os.path.join(SOURCE, "gateway"), self.gateway)

    def tearDown(self):
        self.tmp.cleanup()

    def add_include(self, file, include):
        path = os.path.join(self.gateway, file)
        with open(path) as f:
            text = f.read()
        with open(path, "w") as f:
            f.write(f'#include "{include}"\n' + text)

    def test_the_tree_as_it_is(self):
        r = check(self.gateway)
        self.assertEqual((r.returncode, r.stderr), (0, ""))

    def test_each_wrong_way_is_named(self):
        for file, include, said in [
                ("config/GatewayConfig.h", "gateway/history/History.h", "config may not include"),
                ("config/GatewayConfigWeb.cpp", "gateway/web/WebUsers.h", "config may not include"),
                ("web/WebServer.cpp", "gateway/metrics/MetricsServer.h", "web may not include"),
                ("metrics/MetricsServer.cpp", "gateway/web/WebServer.h", "metrics may not include"),
                ("mqtt/MqttBridge.h", "gateway/channel/GatewayChannel.h", "mqtt may not include"),
                ("core/Sink.h", "gateway/config/GatewayConfig.h", "core may not include"),
                ("modbus/ModbusServer.cpp", "host/HostSession.h", "the driver's host/HostSession.h"),
                ("http/Http.cpp", "elsewhere/Thing.h", "is of no room")]:
            with self.subTest(file=file, include=include):
                self.setUp()
                self.add_include(file, include)
                r = check(self.gateway)
                self.assertEqual(r.returncode, 1)
                self.assertIn(f"gateway/{file}:1: ", r.stderr)
                self.assertIn(said, r.stderr)

    def test_a_folder_that_is_no_room(self):
        os.mkdir(os.path.join(self.gateway, "bacnet"))
        r = check(self.gateway)
        self.assertEqual(r.returncode, 1)
        self.assertIn("bacnet/: a folder that is no room", r.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
