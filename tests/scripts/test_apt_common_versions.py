#!/usr/bin/env python3
"""scripts/apt_common_versions.py: Debian's order of versions, and the pins it
finds in package lists of a mirror caught mid-sync (as seen on one: libssl3
and zlib1g newer for amd64 than for the other architectures)."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import apt_common_versions as acv  # noqa: E402


def index(*stanzas):
    return "\n\n".join(f"Package: {p}\nVersion: {v}\nMulti-Arch: {m}\nDescription: x\n continued line"
                       for p, v, m in stanzas) + "\n"


class Versions(unittest.TestCase):
    def test_debians_order(self):
        ordered = ["1.0~rc1", "1.0", "1.0-1", "1.0-1+deb12u1", "1.0a", "1.0.1", "1.2.13.dfsg-1",
                   "1.2.13.dfsg-1+deb12u1", "3.0.20-1~deb12u1", "3.0.22-1~deb12u1", "10.0", "1:0.1"]
        for i, a in enumerate(ordered):
            for j, b in enumerate(ordered):
                self.assertEqual(acv.compare_versions(a, b), (i > j) - (i < j), (a, b))
        self.assertEqual(acv.compare_versions("1.0-1", "1.0-01"), 0)


class Pins(unittest.TestCase):
    def test_a_library_newer_for_one_architecture_is_pinned_to_what_all_have(self):
        amd64 = index(("libssl3", "3.0.20-1~deb12u1", "same"), ("libssl3", "3.0.22-1~deb12u1", "same"),
                      ("zlib1g", "1:1.2.13.dfsg-1", "same"), ("zlib1g", "1:1.2.13.dfsg-1+deb12u1", "same"),
                      ("cmake", "3.25.1-1", "no"), ("cmake", "3.25.2-1", "no"),
                      ("libfine", "2.0", "same"), ("libonly", "1.0", "same"))
        other = index(("libssl3", "3.0.20-1~deb12u1", "same"), ("zlib1g", "1:1.2.13.dfsg-1", "same"),
                      ("cmake", "3.25.1-1", "no"), ("libfine", "2.0", "same"))
        armhf = index(("libssl3", "3.0.20-1~deb12u1", "same"), ("libssl3", "3.0.18-1~deb12u1", "same"),
                      ("zlib1g", "1:1.2.13.dfsg-1", "same"), ("libfine", "2.0", "same"))
        pins = acv.common_pins([("amd64", amd64), ("i386", other), ("arm64", other), ("armhf", armhf)])
        # a tool of one architecture (cmake), one level everywhere, or only on
        # one architecture: no pin
        self.assertEqual(pins, {"libssl3": "3.0.20-1~deb12u1", "zlib1g": "1:1.2.13.dfsg-1"})
        text = acv.preferences(pins)
        self.assertIn("Package: libssl3:any\nPin: version 3.0.20-1~deb12u1\nPin-Priority: 1001\n", text)

    def test_no_version_every_architecture_has_is_no_pin(self):
        pins = acv.common_pins([("amd64", index(("libx", "2", "same"))), ("i386", index(("libx", "1", "same")))])
        self.assertEqual(pins, {})

    def test_a_flat_repository_tells_each_stanza_architecture_by_its_own_field(self):
        flat = "".join(f"Package: libk\nVersion: {v}\nArchitecture: {a}\nMulti-Arch: same\n\n"
                       for a, v in (("amd64", "1.0"), ("i386", "1.0"), ("amd64", "2.0")))
        self.assertEqual(acv.common_pins([("", flat)]), {"libk": "1.0"})


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
