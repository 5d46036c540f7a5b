#!/usr/bin/python3
"""The release packages as a user gets them (make test-dist, after make dist):

- the Windows zip: what it holds, the DLL's and the tools' shape (exports,
  imports, version), and the zip unpacked into an empty folder running under
  Wine against mcsim, with the stand-ins copied beside the tools (where only
  64-bit Wine runs, the same zip made from the 64-bit release build);
- the Debian package: what it holds, unpacked with dpkg-deb -x into an empty
  root and its tools run from there against its own mcsim (their run paths
  must find the libraries in the package, not in the build tree), lintian;
- two runs of the packaging with SOURCE_DATE_EPOCH set give the same bytes
  (the ARM packages too; tests/dist/test_arm.py tries them under qemu).

Run from the source tree: tests/dist/test_dist.py"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DIST = os.path.join(ROOT, "build", "dist")
CHECK_PE = [sys.executable, os.path.join(ROOT, "scripts", "check-pe.py")]
COM = subprocess.run([os.path.join(ROOT, "scripts", "com-port"), "dist"], capture_output=True, text=True,
                     check=True).stdout.split()[0]


def version():
    with open(os.path.join(ROOT, "build", "native-release", "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("CMAKE_PROJECT_VERSION:STATIC="):
                return line.split("=", 1)[1].strip()
    raise AssertionError("no release build")


VERSION = version()
ARCH = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
ZIP = os.path.join(DIST, f"krandolix-{VERSION}-win32.zip")
DEB = os.path.join(DIST, f"krandolix_{VERSION}~deb12u1_{ARCH}.deb")  # built here, on Debian 12


class Sim:
    """mcsim with a link at `link`, commanded over TCP."""

    def __init__(self, mcsim, link, stations, folder):
        self.log_path = os.path.join(folder, "mcsim.log")
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen([mcsim, "--control-port", "0", "--link", link, *stations],
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.time() + 10
        self.port = None
        while time.time() < deadline and not self.port:
            with open(self.log_path) as f:
                for line in f:
                    if line.startswith("control "):
                        self.port = int(line.split()[1])
            time.sleep(0.02)
        assert self.port, "mcsim did not start"

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.log.close()


def run_host(command, config, tag, env=None, seconds=4, cwd=None):
    """drvhost's JSON lines for a short run."""
    # its input stays open: the end of input would end the run at once
    with subprocess.Popen([*command, "run", config, "--jsonl", "--duration", str(seconds), "--tag", tag],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          env=env, cwd=cwd) as p:
        out = p.stdout.read()
        rc = p.wait(120)
        p.stdin.close()
    return rc, [json.loads(line) for line in out.decode("utf-8").splitlines() if line.strip()]


class WindowsZip(unittest.TestCase):
    def test_what_it_holds_and_the_shape_of_each_binary(self):
        top = f"krandolix-{VERSION}-win32/"
        with zipfile.ZipFile(ZIP) as z:
            names = sorted(z.namelist())
            self.assertEqual(names, sorted(top + n for n in (
                "CHANGES.md", "Krandolix.dll", "README-windows.txt", "drvcfg.exe", "drvhost.exe", "drvscan.exe",
                "standin/Plovanet.DLL", "standin/ZeravDbm.DLL", "standin/ZeravSub.dll")))
            with tempfile.TemporaryDirectory() as d:
                z.extractall(d)
                folder = os.path.join(d, top)
                check = lambda *args: subprocess.run([*CHECK_PE, *args], capture_output=True, text=True)
                r = check(os.path.join(folder, "Krandolix.dll"), "i386", "DrvFuncTable", "--version", VERSION,
                          "--imports-from", "ZeravSub.dll")
                self.assertEqual(r.returncode, 0, r.stderr)
                for tool in ("drvhost.exe", "drvcfg.exe"):
                    r = check(os.path.join(folder, tool), "i386", "--version", VERSION, "--imports-from", "ZeravSub.dll")
                    self.assertEqual(r.returncode, 0, r.stderr)
                r = check(os.path.join(folder, "drvscan.exe"), "i386", "--version", VERSION)
                self.assertEqual(r.returncode, 0, r.stderr)
                # stripped: no symbol table, and much smaller than the build with debug information
                self.assertLess(os.path.getsize(os.path.join(folder, "Krandolix.dll")), 1_500_000)
                with open(os.path.join(folder, "README-windows.txt"), encoding="utf-8-sig") as f:
                    readme = f.read()
                for words in ("[한국어]", "[English]", "KRANDOLIX_TRACE", "standin", "ZeravSub.dll", "MinGW-w64"):
                    self.assertIn(words, readme)

    def test_unpacked_into_an_empty_folder_it_runs_under_wine(self):
        runs32 = os.path.exists(os.path.join(ROOT, "build", "windows", "wine-runs"))
        preset = "windows" if runs32 else "windows64"
        with tempfile.TemporaryDirectory() as d:
            archive = ZIP
            if not runs32:
                # the same zip made from the 64-bit release build of the same sources
                subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "make-dist"), "--version", VERSION,
                                "--out", d, "--windows", os.path.join(ROOT, "build", "windows64-release"),
                                "--label", "win64"], check=True, stdout=subprocess.DEVNULL)
                archive = os.path.join(d, f"krandolix-{VERSION}-win64.zip")
            folder = os.path.join(d, "unpacked")
            with zipfile.ZipFile(archive) as z:
                z.extractall(folder)
            tools = os.path.join(folder, os.listdir(folder)[0])
            for name in os.listdir(os.path.join(tools, "standin")):
                shutil.copy(os.path.join(tools, "standin", name), tools)
            with open(os.path.join(ROOT, "build", preset, "CMakeCache.txt")) as f:
                cache = f.read()
            value = lambda key: next(l.split("=", 1)[1] for l in cache.splitlines() if l.startswith(key + ":"))
            prefix = os.path.join(ROOT, "build", preset, "wineprefix")
            wine = [os.path.join(ROOT, "scripts", "wine-run"), prefix, value("WINE_LOADER"), value("WINE_ARCH")]
            link = os.path.join(prefix, "dosdevices", f"com{COM}")
            sim = Sim(os.path.join(ROOT, "build", "native", "bin", "mcsim"), link, ["1:0x01", "4:0x02"], d)
            try:
                config = os.path.join(d, "Line1.cfg")
                drvcfg = [*wine, os.path.join(tools, "drvcfg.exe")]
                for args in (["new", config], ["set", config, "--port", f"COM{COM}", "--timeout", "1"],
                             ["add-station", config, "--name", "P1", "--number", "1", "--period", "0.2"]):
                    self.assertEqual(subprocess.run([*drvcfg, *args], capture_output=True).returncode, 0, args)
                rc, events = run_host([*wine, os.path.join(tools, "drvhost.exe")], config, "a=P1:I0")
                self.assertEqual(rc, 0, events)
                self.assertIn({"event": "value", "tag": "a", "value": 1}, events)
                p = subprocess.run([*wine, os.path.join(tools, "drvscan.exe"), f"COM{COM}", "--to", "5",
                                    "--timeout", "50", "--json"], capture_output=True, timeout=120)
                self.assertEqual([s["number"] for s in json.loads(p.stdout)["stations"]], [1, 4])
            finally:
                sim.stop()
                if os.path.lexists(link):
                    os.unlink(link)


class DebianPackage(unittest.TestCase):
    def test_what_it_holds_and_its_control(self):
        listing = subprocess.run(["dpkg-deb", "-c", DEB], capture_output=True, text=True, check=True).stdout
        files = {line.split()[-1].lstrip(".") for line in listing.splitlines()}
        for f in ("/usr/bin/drvhost", "/usr/bin/drvcfg", "/usr/bin/drvscan", "/usr/bin/mcsim", "/usr/bin/drvgw",
                  "/usr/lib/krandolix/Krandolix.so", "/usr/lib/krandolix/libZeravSub.so",
                  "/usr/lib/krandolix/ZeravDbm.DLL", "/usr/lib/krandolix/Plovanet.DLL",
                  "/usr/lib/systemd/system/drvgw@.service", "/usr/share/doc/krandolix/copyright",
                  "/usr/share/doc/krandolix/changelog.gz", "/usr/share/doc/krandolix/examples/gateway.toml",
                  *(f"/usr/share/man/man1/{t}.1.gz" for t in ("drvhost", "drvcfg", "drvscan", "mcsim", "drvgw"))):
            self.assertIn(f, files)
        control = subprocess.run(["dpkg-deb", "-f", DEB], capture_output=True, text=True, check=True).stdout
        self.assertIn(f"Version: {VERSION}~deb12u1\n", control)
        depends = next(l for l in control.splitlines() if l.startswith("Depends:"))
        for lib in ("libc6", "libstdc++6", "libmosquitto1", "libsystemd0", "libmicrohttpd12", "libsqlite3-0"):
            self.assertIn(lib, depends)
        # Debian 13's OPC UA stack and its mbedtls, carried (Debian 12 has neither), with
        # their copyright files, found through their own run path
        for lib in ("libopen62541.so.1.4", "libmbedx509.so.7", "libmbedcrypto.so.16"):
            self.assertIn(f"/usr/lib/krandolix/{lib}", files)
        for upstream in ("open62541", "mbedtls"):
            self.assertIn(f"/usr/share/doc/krandolix/copyright.{upstream}", files)
        for package in ("libopen62541", "libmbed"):
            self.assertNotIn(package, depends)

    def test_lintian_finds_no_error_or_warning(self):
        p = subprocess.run(["lintian", "--fail-on", "error,warning", DEB], capture_output=True, text=True)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertNotRegex(p.stdout, r"(?m)^[EW]: ")

    def test_unpacked_into_an_empty_root_its_tools_work(self):
        with tempfile.TemporaryDirectory() as d:
            root = os.path.join(d, "root")
            subprocess.run(["dpkg-deb", "-x", DEB, root], check=True)
            bin_ = os.path.join(root, "usr", "bin")
            # run paths relative to the programs alone
            for tool in os.listdir(bin_):
                dyn = subprocess.run(["readelf", "-d", os.path.join(bin_, tool)], capture_output=True, text=True).stdout
                self.assertNotIn(ROOT, dyn, tool)
            # each tool by name from PATH, in a folder of its own, as a person types it
            env = dict(os.environ, KRANDOLIX_DOSDEVICES=os.path.join(d, "ports"),
                       PATH=bin_ + os.pathsep + os.environ.get("PATH", ""))
            env.pop("LD_LIBRARY_PATH", None)
            os.makedirs(env["KRANDOLIX_DOSDEVICES"])
            home = os.path.join(d, "home")
            os.makedirs(home)
            for tool in ("drvhost", "drvcfg", "drvscan", "mcsim", "drvgw"):
                self.assertEqual(shutil.which(tool, path=env["PATH"]), os.path.join(bin_, tool))
                out = subprocess.run([tool, "--version"], capture_output=True, text=True, env=env, cwd=home)
                self.assertEqual(out.stdout.splitlines()[0], f"{tool} (Krandolix) {VERSION}", out.stderr)
                if tool == "drvgw":  # (and the OPC UA stack it carries or depends on loads)
                    self.assertIn("OPC UA: open62541 1.4.", out.stdout)
            sim = Sim(os.path.join(bin_, "mcsim"), os.path.join(env["KRANDOLIX_DOSDEVICES"], f"com{COM}"),
                      ["2:0x01", "9:0x00"], d)
            try:
                config = os.path.join(home, "Line1.cfg")
                for args in (["new", "Line1.cfg"], ["set", "Line1.cfg", "--port", f"COM{COM}", "--timeout", "1"],
                             ["add-station", "Line1.cfg", "--name", "P2", "--number", "2", "--period", "0.2"]):
                    subprocess.run(["drvcfg", *args], check=True, env=env, capture_output=True, cwd=home)
                rc, events = run_host(["drvhost"], "Line1.cfg", "a=P2:I0", env=env, cwd=home)
                self.assertEqual(rc, 0, events)
                self.assertIn({"event": "value", "tag": "a", "value": 1}, events)
                p = subprocess.run(["drvscan", f"COM{COM}", "--to", "10", "--timeout", "40",
                                    "--json"], capture_output=True, env=env, timeout=60, cwd=home)
                self.assertEqual([s["number"] for s in json.loads(p.stdout)["stations"]], [2, 9])
                check = subprocess.run(["drvgw", "check",
                                        os.path.join(root, "usr/share/doc/krandolix/examples/gateway.toml")],
                                       capture_output=True, text=True, env=env, cwd=home)
                self.assertIn("Line1.cfg", check.stdout + check.stderr)  # it reads the example and names its file
                self.assertTrue(os.path.exists(config))
            finally:
                sim.stop()


class Reproducible(unittest.TestCase):
    def test_two_runs_give_the_same_bytes(self):
        outs = []
        with tempfile.TemporaryDirectory() as d:
            for run in ("a", "b"):
                out = os.path.join(d, run)
                subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "make-dist"), "--version", VERSION,
                                "--out", out, "--windows", os.path.join(ROOT, "build", "windows-release"),
                                "--debian", "deb12", "--native", os.path.join(ROOT, "build", "native-release"),
                                "--native", os.path.join(ROOT, "build", "native-arm64-release") + ":arm64",
                                "--native", os.path.join(ROOT, "build", "native-armhf-release") + ":armhf"],
                               check=True, stdout=subprocess.DEVNULL,
                               env=dict(os.environ, SOURCE_DATE_EPOCH="1765000000"))
                files = {}
                for name in os.listdir(out):
                    with open(os.path.join(out, name), "rb") as f:
                        files[name] = f.read()
                outs.append(files)
                time.sleep(1.1)  # a second apart: no time of the run may show
        self.assertEqual(sorted(outs[0]), sorted([f"krandolix-{VERSION}-win32.zip"] +
                                                 [f"krandolix_{VERSION}~deb12u1_{a}.deb"
                                                  for a in (ARCH, "arm64", "armhf")]))
        for name in outs[0]:
            self.assertEqual(outs[0][name], outs[1][name], name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
