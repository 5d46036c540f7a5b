#!/usr/bin/python3
"""Debian 12's ARM packages (make test-dist, after make dist): each holds
what the amd64 package holds, built for its architecture, with that
architecture's dependencies, and lintian finds nothing. (Installed and run in
a clean root of their own architecture: tests/dist/test_install.py.)

Run from the source tree with Debian's python3: tests/dist/test_arm.py"""
import os
import subprocess
import tempfile
import unittest

from test_dist import ARCH as MACHINE, VERSION  # (the amd64 package's test)

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DIST = os.path.join(ROOT, "build", "dist")
TOOLS = ("drvhost", "drvcfg", "drvscan", "mcsim", "drvgw")


def listing(deb):
    out = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True, check=True).stdout
    return sorted(line.split()[5].lstrip(".") for line in out.splitlines())


class ArmPackage:
    """The tests for one architecture; the classes below name it."""

    arch = None      # Debian's name
    machine = None   # as readelf names it

    @property
    def deb(self):
        return os.path.join(DIST, f"krandolix_{VERSION}~deb12u1_{self.arch}.deb")

    def test_it_holds_what_the_amd64_package_holds_built_for_its_machine(self):
        self.assertEqual(listing(self.deb), listing(os.path.join(DIST, f"krandolix_{VERSION}~deb12u1_{MACHINE}.deb")))
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


class Arm64(ArmPackage, unittest.TestCase):
    arch, machine = "arm64", "AArch64"


class Armhf(ArmPackage, unittest.TestCase):
    arch, machine = "armhf", "ARM"


if __name__ == "__main__":
    unittest.main(verbosity=2)
