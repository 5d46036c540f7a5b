#!/usr/bin/python3
"""The ARM packages as a user on a DIN-rail box gets them (make test-dist,
after make dist), run here under qemu's user-mode emulation:

- each holds what the amd64 package holds, built for its architecture, with
  that architecture's dependencies, and lintian finds nothing;
- unpacked with dpkg-deb -x into an empty root, every tool answers --version,
  drvcfg makes a configuration, drvscan finds the native simulator's
  stations on a pseudo-terminal, drvhost reads them, and drvgw publishes the
  stations' values to the native mosquitto and serves one write of 1 as
  exactly one control frame.

Run from the source tree with Debian's python3: tests/dist/test_arm.py"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "gateway"))
import gwtest  # noqa: E402
from gwtest import Broker, Sim, Watcher, wait_until  # noqa: E402
from test_dist import ARCH as MACHINE, VERSION  # noqa: E402  (the amd64 package's test)

gwtest.BIN = os.path.join(ROOT, "build", "native", "bin")  # the simulator is the native one
DIST = os.path.join(ROOT, "build", "dist")
COM = int(subprocess.run([os.path.join(ROOT, "scripts", "com-port"), "dist_arm"], capture_output=True,
                         text=True, check=True).stdout.split()[0])
TOOLS = ("drvhost", "drvcfg", "drvscan", "mcsim", "drvgw")


def listing(deb):
    out = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True, check=True).stdout
    return sorted(line.split()[5].lstrip(".") for line in out.splitlines())


class ArmPackage:
    """The tests for one architecture; the classes below name it."""

    arch = None      # Debian's name
    qemu = None      # the user-mode emulator
    machine = None   # as readelf names it

    @property
    def deb(self):
        return os.path.join(DIST, f"krandolix_{VERSION}_{self.arch}.deb")

    def test_it_holds_what_the_amd64_package_holds_built_for_its_machine(self):
        self.assertEqual(listing(self.deb), listing(os.path.join(DIST, f"krandolix_{VERSION}_{MACHINE}.deb")))
        control = subprocess.run(["dpkg-deb", "-f", self.deb], capture_output=True, text=True, check=True).stdout
        self.assertIn(f"Architecture: {self.arch}\n", control)
        depends = next(l for l in control.splitlines() if l.startswith("Depends:"))
        for lib in ("libc6", "libstdc++6", "libmosquitto1", "libsystemd0", "libmicrohttpd12", "libtomlplusplus3",
                    "libsqlite3-0"):
            self.assertIn(lib, depends)
        with tempfile.TemporaryDirectory() as d:
            subprocess.run(["dpkg-deb", "-x", self.deb, d], check=True)
            for f in [f"usr/bin/{t}" for t in TOOLS] + ["usr/lib/krandolix/Krandolix.so"]:
                header = subprocess.run(["readelf", "-h", os.path.join(d, f)], capture_output=True,
                                        text=True).stdout
                self.assertRegex(header, rf"Machine:\s+{self.machine}", f)

    def test_lintian_finds_no_error_or_warning(self):
        p = subprocess.run(["lintian", "--fail-on", "error,warning", self.deb], capture_output=True, text=True)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertNotRegex(p.stdout, r"(?m)^[EW]: ")

    def run_tool(self, tool, *args, **kw):
        return subprocess.run([self.qemu, os.path.join(self.bin, tool), *args], capture_output=True,
                              env=self.env, cwd=self.home, timeout=kw.pop("timeout", 120), **kw)

    def test_unpacked_its_tools_work_against_the_simulator_and_the_broker(self):
        with tempfile.TemporaryDirectory() as d:
            root = os.path.join(d, "root")
            subprocess.run(["dpkg-deb", "-x", self.deb, root], check=True)
            self.bin = os.path.join(root, "usr", "bin")
            self.home = os.path.join(d, "home")
            os.makedirs(self.home)
            ports = os.path.join(d, "ports")
            os.makedirs(ports)
            self.env = dict(os.environ, KRANDOLIX_DOSDEVICES=ports)
            self.env.pop("LD_LIBRARY_PATH", None)
            for tool in TOOLS:
                out = self.run_tool(tool, "--version", text=True)
                self.assertEqual(out.stdout.strip(), f"{tool} (Krandolix) {VERSION}", tool + ": " + out.stderr)
            sim = Sim(d, os.path.join(ports, f"com{COM}"), ["2:0x01", "9:0x00"])
            broker = Broker(d)
            broker.start()
            gw = None
            try:
                for args in (["new", "Line1.cfg"], ["set", "Line1.cfg", "--port", f"COM{COM}", "--timeout", "1"],
                             ["add-station", "Line1.cfg", "--name", "P2", "--number", "2", "--period", "0.2"],
                             ["add-station", "Line1.cfg", "--name", "P9", "--number", "9", "--period", "0.2"]):
                    self.assertEqual(self.run_tool("drvcfg", *args).returncode, 0, args)
                p = self.run_tool("drvscan", f"COM{COM}", "--to", "10", "--timeout", "40", "--json")
                self.assertEqual([s["number"] for s in json.loads(p.stdout)["stations"]], [2, 9], p.stderr)
                events = self.host_events("a=P2:I0")
                self.assertIn({"event": "value", "tag": "a", "value": 1}, events)
                # the gateway: values out, one write in
                watch = Watcher(broker.port, "krandolix/arm/#")
                config = os.path.join(self.home, "gw.toml")
                with open(config, "w") as f:
                    f.write(f'[gateway]\nid = "arm"\n[broker]\nhost = "127.0.0.1"\nport = {broker.port}\n'
                            f'[ports]\nCOM{COM} = "{sim.link}"\n'
                            f'[[channel]]\nname = "Line1"\nconfig = "{self.home}/Line1.cfg"\n')
                with open(os.path.join(d, "gw.log"), "w") as log:
                    gw = subprocess.Popen([self.qemu, os.path.join(self.bin, "drvgw"), "run", config],
                                          stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                          env=self.env, cwd=self.home)

                def gw_text():
                    with open(os.path.join(d, "gw.log"), errors="replace") as f:
                        return f.read()
                self.assertTrue(watch.wait_value("krandolix/arm/online", "1", 30), gw_text())
                self.assertTrue(watch.wait_value("krandolix/arm/Line1/P2/I0", "1", 30), gw_text())
                self.assertTrue(wait_until(lambda: (watch.json("krandolix/arm/Line1/station/P9") or {})
                                           .get("state") == "ok", 30), gw_text())
                watch.publish("krandolix/arm/Line1/P2/O3/set", "1")
                self.assertTrue(watch.wait_message("krandolix/arm/Line1/P2/O3/result",
                                                   lambda m: json.loads(m[1])["result"] == "done", 30), gw_text())
                self.assertTrue(wait_until(lambda: sim.get(2, "controls") == 1, 10))
                self.assertEqual(len(sim.frames()), 1, sim.text())
                watch.close()
            finally:
                if gw:
                    gw.terminate()
                    gw.wait(30)
                broker.stop()
                sim.stop()

    def host_events(self, tag):
        """drvhost's JSON lines for a short run (its input stays open: the end
        of input would end the run at once)."""
        with subprocess.Popen([self.qemu, os.path.join(self.bin, "drvhost"), "run", "Line1.cfg", "--jsonl",
                               "--duration", "4", "--tag", tag], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, env=self.env, cwd=self.home) as p:
            out = p.stdout.read()
            self.assertEqual(p.wait(120), 0)
            p.stdin.close()
        return [json.loads(line) for line in out.decode("utf-8").splitlines() if line.strip()]


class Arm64(ArmPackage, unittest.TestCase):
    arch, qemu, machine = "arm64", "qemu-aarch64", "AArch64"


class Armhf(ArmPackage, unittest.TestCase):
    arch, qemu, machine = "armhf", "qemu-arm", "ARM"


if __name__ == "__main__":
    unittest.main(verbosity=2)
