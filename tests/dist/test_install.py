#!/usr/bin/python3
"""Each Debian package as an integrator installs it (make test-dist, after
make dist), in a clean root of its own release and architecture
(scripts/debian_root.py; the ARM roots run under qemu's user-mode emulation,
registered with binfmt_misc by install-deps):

- `apt install ./krandolix_…deb` finds every dependency in that release;
- every program answers by name from PATH; drvcfg makes a configuration,
  drvscan finds the simulator's stations, drvhost reads one, and drvgw
  publishes their values to a mosquitto and serves one write of 1 as exactly
  one control frame in the simulator's trace (the simulator and the broker run
  on this machine, the root sees the simulator's pseudo-terminal);
- `apt purge --autoremove` leaves no file behind that was not there before
  (the system user it made stays, as Debian's own packages leave theirs);
- Debian 13's packages: its own lintian finds nothing, and packing twice gives
  the same bytes (Debian 12's are checked on this machine by test_dist.py).

Run from the source tree with Debian's python3: tests/dist/test_install.py
[Class...] (without classes: Debian 12's and Debian 13's side by side)"""
import glob
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "gateway"))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import debian_root  # noqa: E402
import gwtest  # noqa: E402
from gwtest import Broker, Sim, Watcher, free_port, wait_until  # noqa: E402
from test_dist import VERSION  # noqa: E402

gwtest.BIN = os.path.join(ROOT, "build", "native", "bin")  # the simulator is the native one
DIST = os.path.join(ROOT, "build", "dist")
COM = int(subprocess.run([os.path.join(ROOT, "scripts", "com-port"), "dist_install"], capture_output=True,
                         text=True, check=True).stdout.split()[0])
TOOLS = ("drvhost", "drvcfg", "drvscan", "mcsim", "drvgw")
# What apt and dpkg keep of their own work, and the places a test writes in:
# not the package's files
OWN_STATE = ("var/lib/apt/", "var/lib/dpkg/", "var/cache/", "var/log/", "root/", "run/", "tmp/", "proc/", "dev/",
             "etc/ld.so.cache")


def deb(release, arch):
    return f"krandolix_{VERSION}~{release}u1_{arch}.deb"


def files(root):
    """Every path in the root but the state apt keeps of its own."""
    found = set()
    for folder, dirs, names in os.walk(root):
        rel = os.path.relpath(folder, root)
        rel = "" if rel == "." else rel + "/"
        if rel.startswith(OWN_STATE):
            dirs[:] = []
            continue
        for name in dirs + names:
            path = rel + name
            if not (path + "/").startswith(OWN_STATE) and not path.startswith(OWN_STATE):
                found.add(path)
    return found


def owned(root):
    """Every path the root's installed packages own, as dpkg lists them."""
    paths = set()
    for name in glob.glob(os.path.join(root, "var", "lib", "dpkg", "info", "*.list")):
        with open(name, errors="replace") as f:
            paths.update(line.strip().lstrip("/") for line in f if line.strip() not in ("", "/."))
    return paths


class InstalledPackage:
    """The tests of one package; the classes below name its release and architecture."""

    release = arch = None

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix=f"install-{cls.release}-{cls.arch}-", dir=os.path.join(ROOT, "build"))
        cls.root = os.path.join(cls.work, "root")
        debian_root.clean_root(cls.release, cls.arch, cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def inside(self, *cmd, check=True, timeout=600, **kw):
        env = ["KRANDOLIX_DOSDEVICES=/run/ports"]
        p = subprocess.run(debian_root.run_command(self.root, list(cmd), cwd="/root", env=env),
                           capture_output=True, text=True, timeout=timeout, **kw)
        if check:
            self.assertEqual(p.returncode, 0, f"{cmd}: {p.stdout[-2000:]}{p.stderr[-2000:]}")
        return p

    def test_installed_by_apt_it_works_by_name_and_purges_clean(self):
        before = files(self.root)
        shutil.copy(os.path.join(DIST, deb(self.release, self.arch)), os.path.join(self.root, "root"))
        self.inside("apt-get", "install", "-y", "-q", f"./{deb(self.release, self.arch)}")
        architecture = self.inside("dpkg", "--print-architecture").stdout.strip()
        self.assertEqual(architecture, self.arch)  # the root's programs are the architecture's own
        for tool in TOOLS:
            out = self.inside(tool, "--version")
            self.assertEqual(out.stdout.splitlines()[0], f"{tool} (Krandolix) {VERSION}", tool + ": " + out.stderr)
            if tool == "drvgw":  # (and the OPC UA stack it carries or depends on loads)
                self.assertIn("OPC UA: open62541 1.4.", out.stdout)
        ports = os.path.join(self.root, "run", "ports")
        os.makedirs(ports, exist_ok=True)
        sim = Sim(self.work, os.path.join(ports, f"com{COM}"), ["2:0x01", "9:0x00"])
        broker = Broker(self.work)
        broker.start()
        gw = None
        try:
            for args in (["new", "Line1.cfg"], ["set", "Line1.cfg", "--port", f"COM{COM}", "--timeout", "1"],
                         ["add-station", "Line1.cfg", "--name", "P2", "--number", "2", "--period", "0.2"],
                         ["add-station", "Line1.cfg", "--name", "P9", "--number", "9", "--period", "0.2"]):
                self.inside("drvcfg", *args)
            p = self.inside("drvscan", f"COM{COM}", "--to", "10", "--timeout", "40", "--json")
            self.assertEqual([s["number"] for s in json.loads(p.stdout)["stations"]], [2, 9], p.stderr)
            # drvhost's input stays open: its end would end the run at once
            p = self.inside("sh", "-c", "sleep 30 | drvhost run Line1.cfg --jsonl --duration 4 --tag a=P2:I0")
            events = [json.loads(line) for line in p.stdout.splitlines() if line.strip()]
            self.assertIn({"event": "value", "tag": "a", "value": 1}, events)
            watch = Watcher(broker.port, "krandolix/box/#")
            sparkplug = Watcher(broker.port, "spBv1.0/#")
            ua_port = free_port()
            with open(os.path.join(self.root, "root", "gw.toml"), "w") as f:
                f.write(f'[gateway]\nid = "box"\n[broker]\nhost = "127.0.0.1"\nport = {broker.port}\n'
                        f'[ports]\nCOM{COM} = "/run/ports/com{COM}"\n'
                        f'[opcua]\nport = {ua_port}\nanonymous = "viewer"\ntrust_dir = "/root/pki"\n'
                        f'[sparkplug]\ngroup_id = "Plant"\nstate_dir = "/root/sparkplug"\n'
                        f'[[channel]]\nname = "Line1"\nconfig = "/root/Line1.cfg"\n')
            log_path = os.path.join(self.work, "gw.log")
            with open(log_path, "w") as log:
                gw = subprocess.Popen(debian_root.run_command(self.root, ["drvgw", "run", "/root/gw.toml"],
                                                              cwd="/root"),
                                      stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)

            def gw_text():
                with open(log_path, errors="replace") as f:
                    return f.read()
            self.assertTrue(watch.wait_value("krandolix/box/online", "1", 60), gw_text())
            self.assertTrue(watch.wait_value("krandolix/box/Line1/P2/I0", "1", 30), gw_text())
            self.assertTrue(wait_until(lambda: (watch.json("krandolix/box/Line1/station/P9") or {})
                                       .get("state") == "ok", 30), gw_text())
            watch.publish("krandolix/box/Line1/P2/O3/set", "1")
            self.assertTrue(watch.wait_message("krandolix/box/Line1/P2/O3/result",
                                               lambda m: json.loads(m[1])["result"] == "done", 30), gw_text())
            self.assertTrue(wait_until(lambda: sim.get(2, "controls") == 1, 10))
            self.assertEqual(len(sim.frames()), 1, sim.text())
            watch.close()
            # its OPC UA endpoint answers a Hello with an Acknowledge (the stack runs)
            url = f"opc.tcp://127.0.0.1:{ua_port}".encode()
            hello = struct.pack("<IIIII", 0, 65535, 65535, 0, 0) + struct.pack("<i", len(url)) + url
            with socket.create_connection(("127.0.0.1", ua_port), timeout=30) as ua:
                ua.sendall(b"HELF" + struct.pack("<I", 8 + len(hello)) + hello)
                self.assertEqual(ua.recv(4), b"ACKF", gw_text())
            # and it is a Sparkplug B edge node (protobuf-c runs): its births
            self.assertTrue(sparkplug.wait_message("spBv1.0/Plant/NBIRTH/box", lambda m: "bdSeq" in m[1], 30),
                            gw_text())
            self.assertTrue(sparkplug.wait_message("spBv1.0/Plant/DBIRTH/box/Line1.P2",
                                                   lambda m: "P2/I0" in m[1], 30), gw_text())
            sparkplug.close()
        finally:
            if gw:
                gw.terminate()
                gw.wait(30)
            broker.stop()
            sim.stop()
        self.assertIn("krandolix", self.inside("getent", "passwd", "krandolix").stdout)
        self.inside("apt-get", "purge", "-y", "-q", "--autoremove", "krandolix")
        shutil.rmtree(ports)
        # What is new is another package's (apt keeps a dependency another
        # package recommends, adduser on Debian 13) or the backups the user's
        # databases made when the user was added: nothing of ours, nothing no one owns
        user_backups = {"etc/passwd-", "etc/group-", "etc/shadow-", "etc/gshadow-"}
        self.assertEqual(sorted(files(self.root) - before - user_backups - owned(self.root)), [])
        self.assertEqual(self.inside("dpkg", "-l", "krandolix", check=False).returncode, 1)


class Deb13Checks:
    """What Debian 12's packages have checked on this machine, for Debian 13's, in its build root."""

    def in_build_root(self, *cmd):
        root = debian_root.build_root("deb13")
        return subprocess.run(debian_root.run_command(root, list(cmd), binds=[(ROOT, "/src")], cwd="/src"),
                              capture_output=True, text=True, timeout=1200)

    def test_lintian_of_debian_13_finds_nothing(self):
        p = self.in_build_root("lintian", "--fail-on", "error,warning", f"build/dist/{deb('deb13', self.arch)}")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertNotRegex(p.stdout, r"(?m)^[EW]: ")

    def test_what_it_depends_on_is_debian_13s(self):
        control = subprocess.run(["dpkg-deb", "-f", os.path.join(DIST, deb("deb13", self.arch))],
                                 capture_output=True, text=True, check=True).stdout
        depends = next(line for line in control.splitlines() if line.startswith("Depends:"))
        # the libraries of the time-64 transition, by their new names on every architecture
        for lib in ("libgnutls30t64", "libmicrohttpd12t64", "libtomlplusplus3t64", "libopen62541-1.4"):
            self.assertIn(lib, depends)
        self.assertIn(f"Version: {VERSION}~deb13u1\n", control)


class Deb12Amd64(InstalledPackage, unittest.TestCase):
    release, arch = "deb12", "amd64"


class Deb12Arm64(InstalledPackage, unittest.TestCase):
    release, arch = "deb12", "arm64"


class Deb12Armhf(InstalledPackage, unittest.TestCase):
    release, arch = "deb12", "armhf"


class Deb13Amd64(InstalledPackage, Deb13Checks, unittest.TestCase):
    release, arch = "deb13", "amd64"


class Deb13Arm64(InstalledPackage, Deb13Checks, unittest.TestCase):
    release, arch = "deb13", "arm64"


class Deb13Armhf(InstalledPackage, Deb13Checks, unittest.TestCase):
    release, arch = "deb13", "armhf"


class InstallDepsOnAMirrorMidSync(unittest.TestCase):
    """scripts/install-deps in a clean Debian 12 root whose mirror is caught
    mid-sync: one repository's index is not the size its Release says, and a
    Multi-Arch: same library is newer for amd64 than for i386."""

    def make_deb(self, folder, arch, version):
        stage = os.path.join(self.work, f"stage-{arch}-{version}")
        os.makedirs(os.path.join(stage, "DEBIAN"))
        os.makedirs(os.path.join(stage, "usr", "share", "doc", "libkrtest1"))
        with open(os.path.join(stage, "usr", "share", "doc", "libkrtest1", f"v{version}"), "w") as f:
            f.write(version + "\n")
        with open(os.path.join(stage, "DEBIAN", "control"), "w") as f:
            f.write(f"Package: libkrtest1\nVersion: {version}\nArchitecture: {arch}\nMulti-Arch: same\n"
                    "Maintainer: tests <t@users.invalid>\nDescription: a library in two versions\n")
        subprocess.run(["dpkg-deb", "--root-owner-group", "--build", stage,
                        os.path.join(folder, f"libkrtest1_{version}_{arch}.deb")], check=True,
                       stdout=subprocess.DEVNULL)

    def test_it_retries_goes_on_past_a_broken_index_and_pins_the_version_all_architectures_have(self):
        self.work = tempfile.mkdtemp(prefix="install-deps-", dir=os.path.join(ROOT, "build"))
        self.addCleanup(shutil.rmtree, self.work, True)
        root = debian_root.clean_root("deb12", "amd64", os.path.join(self.work, "root"))
        repo, broken = os.path.join(root, "repo"), os.path.join(root, "broken")
        os.makedirs(repo)
        os.makedirs(broken)
        for arch, version in (("amd64", "1.0"), ("i386", "1.0"), ("amd64", "2.0")):  # amd64 synced, i386 not
            self.make_deb(repo, arch, version)
        with open(os.path.join(repo, "Packages"), "w") as f:
            subprocess.run(["dpkg-scanpackages", "--multiversion", "."], cwd=repo, stdout=f,
                           stderr=subprocess.DEVNULL, check=True)
        with open(os.path.join(broken, "Packages"), "w") as f:
            f.write("Package: nothing\nVersion: 1\nArchitecture: amd64\n")
        with open(os.path.join(broken, "Release"), "w") as f:  # the index of a sync not yet arrived
            f.write("Origin: broken\nSHA256:\n " + "0" * 64 + " 999 Packages\n")
        sources = os.path.join(root, "etc", "apt", "sources.list.d")
        with open(os.path.join(sources, "debian.sources")) as f:
            text = f.read()
        with open(os.path.join(sources, "debian.sources"), "w") as f:  # Debian's own for amd64 only: quick
            f.write(text.replace("Types: deb\n", "Types: deb\nArchitectures: amd64\n"))
        with open(os.path.join(sources, "mid-sync.list"), "w") as f:
            f.write("deb [trusted=yes] file:/repo ./\ndeb [trusted=yes] file:/broken ./\n")
        p = subprocess.run(debian_root.run_command(
            root, ["bash", "/src/scripts/install-deps", "--only", "libkrtest1:amd64", "libkrtest1:i386"],
            binds=[(ROOT, "/src")], env=["INSTALL_DEPS_PAUSE=0"]), capture_output=True, text=True, timeout=900)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn("apt-get update failed (attempt 4)", p.stderr)
        self.assertIn("apt-get install failed (attempt 1)", p.stderr)
        self.assertRegex(p.stderr, r"libkrtest1.*1\.0")  # it says what it pinned
        have = subprocess.run(debian_root.run_command(
            root, ["dpkg-query", "-W", "-f", "${binary:Package} ${Version}\\n", "libkrtest1:*"]),
            capture_output=True, text=True, check=True).stdout.split("\n")
        self.assertEqual(sorted(filter(None, have)), ["libkrtest1:amd64 1.0", "libkrtest1:i386 1.0"])
        self.assertFalse(os.path.exists(os.path.join(root, "etc/apt/preferences.d/krandolix-common-versions")))


class Deb13Reproducible(unittest.TestCase):
    def test_two_packings_in_the_root_give_the_same_bytes(self):
        root = debian_root.build_root("deb13")
        outs = []
        for run in ("a", "b"):
            out = f"build/dist-repro-{run}"
            shutil.rmtree(os.path.join(ROOT, out), ignore_errors=True)
            subprocess.run(debian_root.run_command(
                root, ["python3", "scripts/make-dist", "--version", VERSION, "--out", out, "--debian", "deb13",
                       "--native", "build/deb13-release", "--native", "build/deb13-arm64-release:arm64",
                       "--native", "build/deb13-armhf-release:armhf"],
                binds=[(ROOT, "/src")], cwd="/src", env=["SOURCE_DATE_EPOCH=1765000000"]),
                check=True, stdout=subprocess.DEVNULL)
            folder = os.path.join(ROOT, out)
            files = {}
            for name in os.listdir(folder):
                with open(os.path.join(folder, name), "rb") as f:
                    files[name] = f.read()
            outs.append(files)
            shutil.rmtree(folder)
            time.sleep(1.1)  # a second apart: no time of the run may show
        self.assertEqual(sorted(outs[0]), sorted(deb("deb13", a) for a in ("amd64", "arm64", "armhf")))
        for name in outs[0]:
            self.assertEqual(outs[0][name], outs[1][name], name)


# Alone, the two releases run side by side, one process each: their time goes
# mostly to downloads and to emulated package scripts, which overlap well.
HALVES = [["Deb12Amd64", "Deb12Arm64", "Deb12Armhf", "InstallDepsOnAMirrorMidSync"],
          ["Deb13Amd64", "Deb13Arm64", "Deb13Armhf", "Deb13Reproducible"]]

if __name__ == "__main__":
    if len(sys.argv) > 1:
        unittest.main(verbosity=2)
    cases = {n for n, c in list(globals().items()) if isinstance(c, type) and issubclass(c, unittest.TestCase)}
    assert cases == {n for half in HALVES for n in half}, cases  # no class left out
    halves = [subprocess.Popen([sys.executable, os.path.abspath(__file__), *half], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT) for half in HALVES]
    outputs = [p.communicate()[0] for p in halves]
    for out in outputs:
        sys.stdout.buffer.write(out)
    sys.exit(max(p.returncode for p in halves))
