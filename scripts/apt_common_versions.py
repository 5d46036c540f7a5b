#!/usr/bin/env python3
"""apt_common_versions.py [--write FILE]

A mirror caught mid-sync may offer a library at one version for amd64 and at
an older one for i386, arm64 or armhf. A package that is "Multi-Arch: same"
must have one version on every architecture it is installed for, so apt then
refuses the install ("held broken packages"). This reads apt's package lists
(each architecture's, as apt has them now) and names, for every such package
whose newest version differs between the architectures, the newest version
every one of them has; with --write, as apt preferences pinning each to it
(priority 1001: a newer one already installed for amd64 comes down to it).
Prints the pins; exits 0 (none is a fine answer)."""
import argparse
import functools
import re
import subprocess
import sys


def _order(c):
    # Debian's order of a character within a version part: ~ before all,
    # letters before the rest
    if c == "~":
        return -1
    if c.isalpha():
        return ord(c)
    return ord(c) + 256


def _compare_part(a, b):
    """Debian's comparison of an upstream version or a revision."""
    while a or b:
        la = re.match(r"[^0-9]*", a).group()
        lb = re.match(r"[^0-9]*", b).group()
        for i in range(max(len(la), len(lb))):
            ca = _order(la[i]) if i < len(la) else 0
            cb = _order(lb[i]) if i < len(lb) else 0
            if ca != cb:
                return -1 if ca < cb else 1
        a, b = a[len(la):], b[len(lb):]
        da = re.match(r"[0-9]*", a).group()
        db = re.match(r"[0-9]*", b).group()
        na, nb = int(da or 0), int(db or 0)
        if na != nb:
            return -1 if na < nb else 1
        a, b = a[len(da):], b[len(db):]
    return 0


def compare_versions(a, b):
    """-1, 0 or 1 as Debian orders versions a and b (epoch:upstream-revision)."""
    def split(v):
        epoch, _, rest = v.rpartition(":") if ":" in v else ("0", "", v)
        upstream, _, revision = rest.rpartition("-") if "-" in rest else (rest, "", "0")
        return int(epoch or 0), upstream, revision
    ea, ua, ra = split(a)
    eb, ub, rb = split(b)
    if ea != eb:
        return -1 if ea < eb else 1
    return _compare_part(ua, ub) or _compare_part(ra, rb)


def parse_packages(text):
    """(package, version, multi_arch, architecture or None) of each stanza of
    a Packages index."""
    for stanza in text.split("\n\n"):
        fields = {}
        for line in stanza.splitlines():
            if line[:1] in (" ", "\t") or ":" not in line:
                continue
            key, _, value = line.partition(":")
            fields[key.strip().lower()] = value.strip()
        if "package" in fields and "version" in fields:
            yield fields["package"], fields["version"], fields.get("multi-arch", "no"), fields.get("architecture")


def common_pins(indexes):
    """indexes: [(architecture, text of a Packages index)]; a stanza's own
    Architecture field counts first (a flat repository's one index holds
    every architecture's, and apt names none for it). The packages that
    are Multi-Arch: same whose newest version is not the same on every
    architecture offering them: {package: the newest version all of them
    offer}, for those that have one."""
    versions = {}  # package -> arch -> set of versions
    same = set()
    for arch, text in indexes:
        for package, version, multi_arch, own in parse_packages(text):
            versions.setdefault(package, {}).setdefault(own or arch, set()).add(version)
            if multi_arch == "same":
                same.add(package)
    key = functools.cmp_to_key(compare_versions)
    pins = {}
    for package in sorted(same):
        by_arch = versions[package]
        if len(by_arch) < 2:
            continue
        newest = {max(v, key=key) for v in by_arch.values()}
        if len(newest) == 1:
            continue
        everywhere = set.intersection(*by_arch.values())
        if everywhere:
            pins[package] = max(everywhere, key=key)
    return pins


def preferences(pins):
    # ("Package: p" alone pins this machine's own architecture: ":any" every one)
    return "".join(f"Package: {p}:any\nPin: version {v}\nPin-Priority: 1001\n\n"
                   for p, v in sorted(pins.items()))


def apt_indexes():
    listed = subprocess.run(["apt-get", "indextargets", "--format", "$(FILENAME) $(ARCHITECTURE)",
                             "Identifier: Packages"], capture_output=True, text=True, check=True)
    for line in listed.stdout.splitlines():
        path, _, arch = line.rpartition(" ")
        shown = subprocess.run(["/usr/lib/apt/apt-helper", "cat-file", path],
                               capture_output=True, text=True)
        if shown.returncode == 0:
            yield arch, shown.stdout


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--write", help="apt preferences file to write the pins to")
    a = ap.parse_args()
    pins = common_pins(list(apt_indexes()))
    for p, v in sorted(pins.items()):
        print(f"{p} {v}")
    if a.write:
        with open(a.write, "w") as f:
            f.write("# written by install-deps: a mirror mid-sync, one version for every architecture\n")
            f.write(preferences(pins))
    return 0


if __name__ == "__main__":
    sys.exit(main())
