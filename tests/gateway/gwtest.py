"""What the gateway's tests start: a real mosquitto broker on a free port, mcsim on
pseudo-terminals, drvgw itself, and an MQTT 5 client (paho) that watches and commands.

Run the tests with Debian's /usr/bin/python3 (paho comes from python3-paho-mqtt)."""
import getpass
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

BIN = None  # the native build's bin folder, set by the test program
# Debian installs the broker in /usr/sbin, which a user's PATH may lack
MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# A busy machine may take longer than a test's wait names: each waits up to
# WAIT_SCALE times that. A wait ends once its condition holds, so a test that
# passes is no slower (and no test waits to see that something does not
# happen); how fast the gateway is lives in the bench, not here.
WAIT_SCALE = float(os.environ.get("GATEWAY_WAIT_SCALE", "2"))


def wait_until(condition, seconds=10.0, step=0.02):
    deadline = time.time() + seconds * WAIT_SCALE
    while time.time() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


def descriptors(pid):
    out = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            out.append(os.readlink(f"/proc/{pid}/fd/{fd}"))
        except OSError:
            pass
    return sorted(out)


def sockets_of(pid, names=None):
    """The process's TCP sockets as "local port -> remote port (state)", to say which is left over;
    a port in names (number -> name) by its name"""
    names = names or {}
    fds = {}  # inode -> descriptor, for what is left over
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if target.startswith("socket:["):
            fds[target[8:-1]] = fd
    inodes = set(fds)
    out = []
    for table in ("tcp", "tcp6"):
        try:
            with open(f"/proc/{pid}/net/{table}") as f:
                for line in list(f)[1:]:
                    w = line.split()
                    if w[9] in inodes:
                        local, remote = (int(a.split(':')[1], 16) for a in w[1:3])
                        left = "" if w[3] in ("01", "0A") else f" fd {fds[w[9]]}"
                        out.append(f"{names.get(local, local)}->{names.get(remote, remote)} ({w[3]}){left}")
        except OSError:
            pass
    return sorted(out)


class Broker:
    """mosquitto on loopback, keeping its sessions across a restart."""

    def __init__(self, folder, extra="", port=None):
        self.folder = folder
        self.port = port or free_port()
        self.conf = os.path.join(folder, "mosquitto.conf")
        self.extra = extra
        self.proc = None
        os.makedirs(os.path.join(folder, "mosq-data"), exist_ok=True)

    def start(self):
        if getattr(self, "log", None):
            self.log.close()
        with open(self.conf, "w") as f:
            # run as root, mosquitto would drop to its own user and could not save
            f.write(f"user {getpass.getuser()}\nlistener {self.port} 127.0.0.1\n"
                    f"persistence true\npersistence_location {self.folder}/mosq-data/\n"
                    f"autosave_interval 1\n")
            f.write(self.extra or "allow_anonymous true\n")
        self.log = open(os.path.join(self.folder, "mosquitto.log"), "a")
        self.proc = subprocess.Popen([MOSQUITTO, "-c", self.conf], stdout=self.log,
                                     stderr=subprocess.STDOUT)
        ok = wait_until(lambda: self._listening(), 10)
        assert ok, "mosquitto did not start: " + open(os.path.join(self.folder, "mosquitto.log")).read()

    def _listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), 0.2).close()
            return True
        except OSError:
            return False

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.proc = None
        if getattr(self, "log", None):
            self.log.close()


class Sim:
    """mcsim with its link at `link`, answering commands over TCP."""

    def __init__(self, folder, link, stations, name="sim"):
        self.log_path = os.path.join(folder, name + ".log")
        self.link = link
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen([os.path.join(BIN, "mcsim"), "--trace", "--control-port", "0",
                                      "--link", link, *stations],
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        self.port = wait_until(self._control_port, 10)
        assert self.port, "mcsim did not start"

    def _control_port(self):
        with open(self.log_path) as f:
            for line in f:
                if line.startswith("control "):
                    return int(line.split()[1])
        return None

    def cmd(self, line):
        with socket.create_connection(("127.0.0.1", self.port)) as s:
            s.sendall((line + "\n").encode())
            return s.makefile().readline().strip()

    def get(self, station, what):
        reply = self.cmd(f"get {station}")
        for word in reply.split()[1:]:
            k, v = word.split("=")
            if k == what:
                return int(v, 0)
        raise AssertionError(reply)

    def text(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def frames(self, kind="control"):
        """The requests of one kind mcsim's trace shows, in order."""
        with open(self.log_path) as f:
            return [line for line in f if "<- " in line and f"  {kind} " in line]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.log.close()


def drvcfg(*args):
    subprocess.run([os.path.join(BIN, "drvcfg"), *args], check=True, stdout=subprocess.DEVNULL)


def channel_config(path, com, stations, timeout=1, retries=0):
    """A driver configuration on COM<com> with (name, number) stations, polled every 0.2 s."""
    drvcfg("new", path, "--force")
    drvcfg("set", path, "--port", f"COM{com}", "--timeout", str(timeout), "--retries", str(retries))
    for name, number in stations:
        drvcfg("add-station", path, "--name", name, "--number", str(number), "--period", "0.2")


def drvgw_version():
    """The version drvgw says it is (the first line of --version)."""
    out = subprocess.run([os.path.join(BIN, "drvgw"), "--version"], capture_output=True, text=True)
    return out.stdout.split()[2]


class OneLine(unittest.TestCase):
    """A scratch folder, a broker, a simulator with three stations and the driver's
    configuration Line1.cfg for them on COM<com>; self.gw, a gateway a test starts."""

    stations = ["1:0x05:toggle", "2:0x00", "7:0x80"]
    com = 31

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.d = self.tmp.name
        self.broker = Broker(self.d)
        self.broker.start()
        self.sim = Sim(self.d, os.path.join(self.d, "line1"), self.stations)
        channel_config(os.path.join(self.d, "Line1.cfg"), self.com, [("펌프1", 1), ("P2", 2), ("P7", 7)])
        self.gw = None

    def tearDown(self):
        if self.gw:
            self.gw.stop()
        self.sim.stop()
        self.broker.stop()
        self.tmp.cleanup()


class Gateway:
    """drvgw run on a TOML file it is given as text."""

    def __init__(self, folder, toml, name="gw", env=None):
        self.folder = folder
        self.path = os.path.join(folder, name + ".toml")
        self.log_path = os.path.join(folder, name + ".log")
        self.write(toml)
        self.env = dict(os.environ, **(env or {}))
        self.proc = None
        self.log = None

    def write(self, toml):
        with open(self.path, "w") as f:
            f.write(toml)

    def start(self):
        if getattr(self, "log", None):
            self.log.close()
        self.log = open(self.log_path, "a")
        self.proc = subprocess.Popen([os.path.join(BIN, "drvgw"), "run", self.path],
                                     stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT, env=self.env)
        return self

    def text(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise AssertionError("drvgw did not stop on SIGTERM")
        if self.log:
            self.log.close()
            self.log = None
        return self.proc.returncode if self.proc else None

    def rss_kb(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0


class Watcher:
    """An MQTT 5 client that keeps every message it sees, and the latest per topic."""

    def __init__(self, port, topic="#", client_id=None, username=None, password=None, tls=None):
        self.messages = []
        self.latest = {}
        self.lock = threading.Lock()
        self.client = mqtt.Client(client_id=client_id or f"watch-{os.getpid()}-{time.time()}",
                                  protocol=mqtt.MQTTv5)
        if username:
            self.client.username_pw_set(username, password)
        if tls:
            self.client.tls_set(ca_certs=tls)
        self.client.on_message = self._on_message
        self.client.connect("127.0.0.1", port)
        self.client.subscribe(topic, qos=1)
        self.client.loop_start()

    def _on_message(self, client, userdata, msg):
        correlation = None
        props = getattr(msg, "properties", None)
        if props is not None and hasattr(props, "CorrelationData"):
            correlation = props.CorrelationData
        with self.lock:
            entry = (msg.topic, msg.payload.decode("utf-8", "replace"), msg.retain, correlation, msg.qos)
            self.messages.append(entry)
            self.latest[msg.topic] = entry

    def value(self, topic):
        with self.lock:
            entry = self.latest.get(topic)
        return entry[1] if entry else None

    def json(self, topic):
        v = self.value(topic)
        return json.loads(v) if v is not None else None

    def on(self, topic):
        with self.lock:
            return [m for m in self.messages if m[0] == topic]

    def wait_value(self, topic, expected, seconds=10):
        return wait_until(lambda: self.value(topic) == expected, seconds)

    def wait_message(self, topic, predicate=lambda m: True, seconds=10, after=0):
        def find():
            for m in self.on(topic)[after:]:
                if predicate(m):
                    return m
            return None
        return wait_until(find, seconds)

    def publish(self, topic, payload, correlation=None, qos=2):
        props = None
        if correlation is not None:
            props = Properties(PacketTypes.PUBLISH)
            props.CorrelationData = correlation
        info = self.client.publish(topic, payload, qos=qos, properties=props)
        info.wait_for_publish(10)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()
