#!/usr/bin/env python3
"""drvcfg as people use it: every command, every refusal and its exit status.

Run: test_drvcfg.py PATH_TO_DRVCFG, or test_drvcfg.py -- COMMAND... (a runner
such as scripts/wine-run and the program; WINE=1 in the environment then).
The file calls of the Windows program under Wine take the same Linux paths."""
import json
import os
import pty
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

DRVCFG = None
UNDER_WINE = os.environ.get("WINE") == "1"


def run(*args):
    p = subprocess.run([*DRVCFG, *args], capture_output=True)
    return p.returncode, p.stdout.decode("utf-8"), p.stderr.decode("utf-8")


class Drvcfg(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.dir.name, "Line1.cfg")

    def tearDown(self):
        self.dir.cleanup()

    def show(self):
        rc, out, err = run("show", self.path, "--json")
        self.assertEqual(rc, 0, err)
        return json.loads(out)

    def bytes(self):
        with open(self.path, "rb") as f:
            return f.read()

    def test_new_writes_the_defaults_and_protects_an_existing_file(self):
        self.assertEqual(run("new", self.path)[0], 0)
        self.assertEqual(self.show(), {
            "port": "COM1", "baud": 9600, "parity": "none", "data_bits": 8, "stop_bits": 1,
            "delay_ms": 0, "timeout_ms": 5000, "retries": 0, "stations": []})
        rc, out, err = run("new", self.path)
        self.assertEqual(rc, 1)
        self.assertIn("--force", err)
        self.assertEqual(run("new", self.path, "--force")[0], 0)

    def test_set_changes_only_what_it_is_given(self):
        run("new", self.path)
        rc, _, err = run("set", self.path, "--port", "com12", "--baud", "38400", "--parity", "odd",
                         "--data-bits", "7", "--stop-bits", "2", "--delay", "150", "--timeout", "3",
                         "--retries", "2")
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.show(), {
            "port": "COM12", "baud": 38400, "parity": "odd", "data_bits": 7, "stop_bits": 2,
            "delay_ms": 150, "timeout_ms": 3000, "retries": 2, "stations": []})
        self.assertEqual(run("set", self.path, "--retries", "0")[0], 0)
        self.assertEqual(self.show()["baud"], 38400)

    def test_settings_outside_the_dialog_ranges_are_refused_and_change_nothing(self):
        run("new", self.path)
        before = self.bytes()
        for args, text in [
            (["--delay", "2001"], "통신 지연 시간은 0에서 2000"),
            (["--delay", "-1"], "통신 지연 시간은"),
            (["--timeout", "0"], "Timeout은 1초에서 999초"),
            (["--timeout", "1000"], "Timeout은"),
            (["--retries", "11"], "재시도회수는 0에서 10"),
            (["--port", "COM37"], "COM1에서 COM36"),
            (["--port", "COM0"], "COM1에서 COM36"),
            (["--baud", "115200"], "통신 속도"),
            (["--parity", "mark"], "Parity"),
            (["--data-bits", "9"], "Data Bits"),
            (["--stop-bits", "3"], "Stop Bits"),
            # a good value before a bad one is not written either
            (["--delay", "10", "--retries", "99"], "재시도회수는"),
        ]:
            rc, out, err = run("set", self.path, *args)
            self.assertEqual(rc, 1, args)
            self.assertIn(text, err, args)
            self.assertEqual(self.bytes(), before, args)

    def test_stations_are_checked_in_the_dialog_order(self):
        run("new", self.path)
        self.assertEqual(run("add-station", self.path, "--name", "펌프1", "--number", "1",
                             "--description", "유입 펌프", "--period", "0.5")[0], 0)
        self.assertEqual(run("add-station", self.path, "--name", "Fan", "--number", "2")[0], 0)
        before = self.bytes()
        cases = [
            (["--name", "", "--number", "9"], "스테이션 이름이 지정되지 않았습니다."),
            (["--name", "FAN", "--number", "1"], "스테이션 이름이 중복되었습니다."),
            (["--name", "New", "--number", "2"], "스테이션의 국번이 중복되었습니다."),
            (["--name", "New", "--number", "255"], "국번은 0에서 254"),
            (["--name", "New", "--number", "3", "--period", "0.05"], "통신주기가 잘 못 설정되었습니다."),
            (["--name", "New", "--number", "3", "--period", "1000"], "통신주기가"),
            (["--name", "New", "--number", "3", "--period", "1 "], "통신주기가"),
        ]
        for args, text in cases:
            rc, out, err = run("add-station", self.path, *args)
            self.assertEqual(rc, 1, args)
            self.assertIn(text, err, args)
            self.assertEqual(self.bytes(), before, args)
        stations = self.show()["stations"]
        self.assertEqual(stations, [
            {"name": "펌프1", "number": 1, "description": "유입 펌프", "period_ms": 500},
            {"name": "Fan", "number": 2, "description": "", "period_ms": 1000}])

    def test_edit_and_remove_find_stations_without_regard_to_case(self):
        run("new", self.path)
        run("add-station", self.path, "--name", "P1", "--number", "1", "--period", "1.234")
        run("add-station", self.path, "--name", "P2", "--number", "2")
        run("add-station", self.path, "--name", "P3", "--number", "3")
        # editing without changes keeps a station valid against itself
        self.assertEqual(run("edit-station", self.path, "p1")[0], 0)
        self.assertEqual(self.show()["stations"][0]["period_ms"], 1234)
        self.assertEqual(run("edit-station", self.path, "p1", "--number", "40", "--period", "999.9")[0], 0)
        self.assertEqual(run("edit-station", self.path, "P1", "--number", "2")[0], 1)
        self.assertEqual(run("remove-station", self.path, "p2")[0], 0)
        self.assertEqual([(s["name"], s["number"], s["period_ms"]) for s in self.show()["stations"]],
                         [("P1", 40, 999900), ("P3", 3, 1000)])
        self.assertEqual(run("remove-station", self.path, "nobody")[0], 1)

    def test_texts_without_a_cp949_form_are_refused(self):
        run("new", self.path)
        before = self.bytes()
        rc, _, err = run("add-station", self.path, "--name", "pump😀", "--number", "1")
        self.assertEqual(rc, 1)
        self.assertIn("CP949", err)
        self.assertEqual(self.bytes(), before)

    def test_files_that_do_not_load_exit_2_with_their_message(self):
        rc, _, err = run("show", self.path)
        self.assertEqual(rc, 2)
        self.assertIn("파일을 찾을 수 없습니다", err)
        self.assertIn(self.path, err)
        with open(self.path, "wb") as f:
            f.write(b"not a configuration")
        rc, _, err = run("set", self.path, "--delay", "5")
        self.assertEqual(rc, 2)
        self.assertIn("설정 파일이 아닙니다", err)

    def test_nonsense_command_lines_print_the_usage(self):
        run("new", self.path)
        for args in [[], ["show"], ["frobnicate", self.path], ["set", self.path],
                     ["set", self.path, "--delay"], ["set", self.path, "--delay", "ten"],
                     ["show", self.path, "--xml"], ["add-station", self.path, "--name", "A"],
                     ["edit-station", self.path]]:
            rc, out, err = run(*args)
            self.assertEqual(rc, 64, args)
            self.assertIn("usage:", err, args)

    def test_show_prints_stored_values_outside_their_lists_as_they_are(self):
        run("new", self.path)
        data = bytearray(self.bytes())
        header = 26
        # settings after the empty name list: version, baud, data, parity, port, stop
        settings = header + 2
        data[settings + 4:settings + 8] = (12).to_bytes(4, "little")             # baud index
        data[settings + 12:settings + 16] = (7).to_bytes(4, "little")            # parity
        data[settings + 16:settings + 20] = (40).to_bytes(4, "little")           # port
        with open(self.path, "wb") as f:
            f.write(data)
        shown = self.show()
        self.assertEqual((shown["port"], shown["baud"], shown["parity"]), ("COM41", None, None))
        rc, out, _ = run("show", self.path)
        self.assertEqual(rc, 0)
        self.assertIn("COM41", out)
        self.assertIn("(12)", out)


def on_terminal(*args):
    """Runs drvcfg with a pseudo-terminal as its output (a console under Wine)."""
    master, slave = pty.openpty()
    p = subprocess.Popen([*DRVCFG, *args], stdin=slave, stdout=slave, stderr=slave)
    os.close(slave)
    shown = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        shown += chunk
    os.close(master)
    # without control sequences and blanks: Wine's console moves the cursor between words
    shown = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", shown.decode("utf-8", "replace"))
    return p.wait(60), re.sub(r"\s", "", shown)


class OnATerminal(unittest.TestCase):
    """Korean on a terminal; under Wine a console whose code page is 949, which
    shows UTF-8 bytes as garbage: the text must go to it as UTF-16."""

    def test_show_and_a_refusal_read_right(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "Line1.cfg")
            self.assertEqual(run("new", path)[0], 0)
            self.assertEqual(run("add-station", path, "--name", "펌프1", "--number", "1",
                                 "--description", "유입 펌프")[0], 0)
            rc, shown = on_terminal("show", path)
            self.assertEqual(rc, 0, shown)
            self.assertIn("통신지연시간", shown)
            self.assertIn("펌프1", shown)
            self.assertIn("유입펌프", shown)
            self.assertNotIn("\ufffd", shown)
            rc, shown = on_terminal("add-station", path, "--name", "펌프1", "--number", "2")
            self.assertEqual(rc, 1)
            self.assertIn("스테이션이름이중복되었습니다.", shown)


@unittest.skipIf(UNDER_WINE, "Wine's prefix belongs to the user running the tests")
@unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root to drop privileges")
class WithoutPrivileges(unittest.TestCase):
    """Failures root cannot provoke for itself: the same calls as an ordinary user."""

    def setUp(self):
        self.dir = tempfile.mkdtemp()
        os.chmod(self.dir, 0o755)
        self.path = os.path.join(self.dir, "Line1.cfg")
        self.assertEqual(run("new", self.path)[0], 0)
        self.assertEqual(run("add-station", self.path, "--name", "P1", "--number", "1")[0], 0)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def as_nobody(self, *args):
        p = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", *DRVCFG, *args],
                           capture_output=True)
        return p.returncode, p.stdout.decode("utf-8"), p.stderr.decode("utf-8")

    def test_a_file_that_cannot_be_read_gives_its_message(self):
        os.chmod(self.path, 0o600)
        rc, _, err = self.as_nobody("show", self.path)
        self.assertEqual(rc, 2)
        self.assertIn("파일을 열거나 읽을 수 없습니다", err)

    def test_a_save_that_cannot_complete_leaves_the_old_file(self):
        os.chmod(self.path, 0o644)
        with open(self.path, "rb") as f:
            before = f.read()
        rc, _, err = self.as_nobody("set", self.path, "--delay", "100")
        self.assertEqual(rc, 1)
        self.assertIn("파일을 쓸 수 없습니다", err)
        with open(self.path, "rb") as f:
            self.assertEqual(f.read(), before)
        self.assertEqual(os.listdir(self.dir), ["Line1.cfg"])  # no temporary file left


if __name__ == "__main__":
    if "--" in sys.argv:
        split = sys.argv.index("--")
        DRVCFG = sys.argv[split + 1:]
        del sys.argv[1:]
    else:
        DRVCFG = [os.path.abspath(sys.argv.pop(1))]
    unittest.main(verbosity=2)
