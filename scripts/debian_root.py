#!/usr/bin/env python3
"""Debian roots for the packages, made with debootstrap from the mirror this
machine's apt already uses and kept in KRANDOLIX_ROOTS (default
/var/cache/krandolix/roots), so that each is made once per machine:

  <codename>-<arch>/   a clean minimal system (minbase, with its release's
                       updates and security suites), never changed once made:
                       a test takes a copy of it (`clean`)
  <codename>-build/    the build root of a release: its compilers, Debian's
                       cross compilers for arm64 and armhf and the gateway's
                       libraries for the three architectures (multiarch)

  debian_root.py build RELEASE              the build root, made or completed; prints its path
  debian_root.py clean RELEASE ARCH DIR     a clean root of RELEASE for ARCH in DIR
  debian_root.py prepare                    every root make test-dist uses, made now
  debian_root.py sources RELEASE            the apt sources of RELEASE from this machine's mirror
  debian_root.py run ROOT [--bind HOST:INSIDE]... [--cwd DIR] [--env K=V]... -- CMD...

RELEASE is deb12 or deb13. An ARM root's programs run under qemu's user-mode
emulation, which install-deps registers with the kernel (binfmt_misc). A
command runs in a mount namespace of its own: /dev, /proc and the binds are
mounted for it alone and gone when it ends. Needs root (sudo otherwise)."""
import argparse
import fcntl
import glob
import os
import shutil
import subprocess
import sys
import time

ROOTS = os.environ.get("KRANDOLIX_ROOTS", "/var/cache/krandolix/roots")
RELEASES = {"deb12": "bookworm", "deb13": "trixie"}
ARCHES = ("amd64", "arm64", "armhf")
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
MADE = ".krandolix-root"  # written last: a root without it is half made
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

# What the release builds need, in the build root (the machine's own build
# takes the same from scripts/install-deps)
BUILD_TOOLS = ["cmake", "ninja-build", "make", "g++", "pkgconf", "python3", "dpkg-dev", "lintian", "scdoc",
               "gzip", "file", "nlohmann-json3-dev", "crossbuild-essential-arm64", "crossbuild-essential-armhf",
               "protobuf-c-compiler"]
BUILD_LIBS = ["libmosquitto-dev", "libmicrohttpd-dev", "libgnutls28-dev", "libsystemd-dev",
              "libtomlplusplus-dev", "libsqlite3-dev", "libcrypt-dev", "libopen62541-1.4-dev",
              "libprotobuf-c-dev"]


def log(*args):
    print("debian-root:", *args, file=sys.stderr, flush=True)


def mirrors(sources_dir="/etc/apt"):
    """The archive and the security archive this machine's apt takes Debian
    from (deb822 .sources files and the one-line sources.list alike)."""
    archive = security = None
    entries = []  # (uri, suites)
    for path in sorted(glob.glob(os.path.join(sources_dir, "sources.list.d", "*.sources"))):
        with open(path) as f:
            for stanza in f.read().split("\n\n"):
                fields = {}
                for line in stanza.splitlines():
                    if ":" in line and not line.startswith((" ", "#")):
                        key, _, value = line.partition(":")
                        fields[key.strip().lower()] = value.strip()
                if "deb" in fields.get("types", "").split() and fields.get("enabled", "yes") != "no":
                    for uri in fields.get("uris", "").split():
                        entries.append((uri, fields.get("suites", "").split()))
    for path in [os.path.join(sources_dir, "sources.list")] + sorted(
            glob.glob(os.path.join(sources_dir, "sources.list.d", "*.list"))):
        if os.path.exists(path):
            with open(path) as f:
                for line in f:
                    words = line.split("#", 1)[0].split()
                    if words and words[0] == "deb":
                        words = [w for w in words[1:] if not w.startswith("[")]
                        if len(words) >= 2:
                            entries.append((words[0], [words[1]]))
    for uri, suites in entries:
        if security is None and any(s.endswith("-security") or "/updates" in s for s in suites):
            security = uri
        elif archive is None and any("-" not in s for s in suites):
            archive = uri
    return (archive or "http://deb.debian.org/debian").rstrip("/"), \
        (security or "http://deb.debian.org/debian-security").rstrip("/")


def sources_text(codename, archive, security):
    return (f"Types: deb\nURIs: {archive}\nSuites: {codename} {codename}-updates\nComponents: main\n"
            f"Signed-By: {KEYRING}\n\nTypes: deb\nURIs: {security}\nSuites: {codename}-security\n"
            f"Components: main\nSigned-By: {KEYRING}\n")


def run_command(root, cmd, binds=(), cwd="/", env=()):
    """The command line that runs `cmd` in `root` (for subprocess)."""
    script = ('set -e; r="$0"; mount --rbind /dev "$r/dev"; mount -t proc proc "$r/proc"; '
              f'n={len(binds)}; while [ $n -gt 0 ]; do mkdir -p "$r$2"; mount --bind "$1" "$r$2"; '
              'shift 2; n=$((n - 1)); done; exec chroot "$r" "$@"')
    args = [part for bind in binds for part in bind]
    inner = ["/usr/bin/env", "-i", f"PATH={PATH}", "HOME=/root", "LANG=C.UTF-8",
             "DEBIAN_FRONTEND=noninteractive", *env, "sh", "-c", 'cd "$0" && exec "$@"', cwd, *cmd]
    prefix = [] if os.geteuid() == 0 else ["sudo"]
    return prefix + ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, root, *args, *inner]


def run(root, cmd, check=True, binds=(), cwd="/", env=(), **kw):
    return subprocess.run(run_command(root, cmd, binds, cwd, env), check=check, **kw)


def update(root, attempts=3):
    """apt-get update in the root, again after a pause when a mirror caught
    mid-sync fails it; then on with the lists that did come (the install
    says whether they were enough)."""
    for attempt in range(1, attempts + 1):
        p = run(root, ["apt-get", "-q", "update"], check=False, stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE, text=True)
        if p.returncode == 0:
            return
        log(f"apt-get update failed in {root} (attempt {attempt}): {p.stderr.strip()[-300:]}")
        if attempt < attempts:
            time.sleep(10 * attempt)
    log("going on with the lists that came")


def apt(root, *args, attempts=3):
    """apt-get in the root, again after a pause and an update when it fails."""
    for attempt in range(1, attempts + 1):
        p = run(root, ["apt-get", "-q", "-y", *args], check=False, stdout=subprocess.DEVNULL)
        if p.returncode == 0:
            return
        log(f"apt-get {args[0]} failed in {root} (attempt {attempt})")
        if attempt < attempts:
            time.sleep(10 * attempt)
            update(root, attempts=1)
    sys.exit(f"debian-root: apt-get {' '.join(args)} failed in {root}")


class Lock:
    """One maker of a root at a time (make -j, two checkouts)."""

    def __init__(self, name):
        os.makedirs(ROOTS, exist_ok=True)
        self.f = open(os.path.join(ROOTS, f".{name}.lock"), "w")

    def __enter__(self):
        fcntl.flock(self.f, fcntl.LOCK_EX)
        return self

    def __exit__(self, *exc):
        fcntl.flock(self.f, fcntl.LOCK_UN)
        self.f.close()


def make_root(release, arch, name=None, include=()):
    codename = RELEASES[release]
    name = name or f"{codename}-{arch}"
    dest = os.path.join(ROOTS, name)
    with Lock(name):
        if os.path.exists(os.path.join(dest, MADE)):
            return dest
        part = dest + ".part"
        archive, security = mirrors()
        started = time.time()
        log(f"making {dest} ({codename}, {arch}, from {archive}): once per machine")
        for attempt in range(1, 4):
            shutil.rmtree(part, ignore_errors=True)
            p = subprocess.run(["debootstrap", "--variant=minbase", f"--arch={arch}", f"--keyring={KEYRING}",
                                *([f"--include={','.join(include)}"] if include else []), codename, part, archive],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            if p.returncode == 0:
                break
            log(f"debootstrap failed (attempt {attempt}): {p.stderr.strip()[-500:]}")
            if attempt == 3:
                sys.exit("debian-root: debootstrap failed; see above")
            time.sleep(20 * attempt)
        os.remove(os.path.join(part, "etc", "apt", "sources.list"))
        with open(os.path.join(part, "etc", "apt", "sources.list.d", "debian.sources"), "w") as f:
            f.write(sources_text(codename, archive, security))
        shutil.copyfile("/etc/resolv.conf", os.path.join(part, "etc", "resolv.conf"))
        update(part)
        run(part, ["apt-get", "clean"])
        with open(os.path.join(part, MADE), "w") as f:
            f.write(f"{codename} {arch} {time.strftime('%Y-%m-%d', time.gmtime())}\n")
        os.rename(part, dest)
        log(f"made {dest} in {time.time() - started:.0f} s")
        return dest


def installed(root, packages):
    p = run(root, ["dpkg-query", "-W", "-f", "${binary:Package} ${Status}\\n", *packages], check=False,
            capture_output=True, text=True)
    # (dpkg-query names a package of the root's own architecture with its
    # suffix if it is Multi-Arch: same, without otherwise)
    have = {line.split()[0].replace(":amd64", "") for line in p.stdout.splitlines()
            if line.endswith(" install ok installed")}
    return [p for p in packages if p.replace(":amd64", "") not in have]


def build_root(release):
    """The release's build root, with everything the builds need."""
    root = make_root(release, "amd64", name=f"{RELEASES[release]}-build")
    with Lock(f"{RELEASES[release]}-build"):
        foreign = run(root, ["dpkg", "--print-foreign-architectures"], capture_output=True, text=True).stdout
        for arch in ("arm64", "armhf"):
            if arch not in foreign.split():
                run(root, ["dpkg", "--add-architecture", arch])
        wanted = BUILD_TOOLS + [f"{lib}:{arch}" for lib in BUILD_LIBS for arch in ARCHES]
        missing = installed(root, wanted)
        if missing:
            log(f"installing in {root}: {' '.join(missing)}")
            shutil.copyfile("/etc/resolv.conf", os.path.join(root, "etc", "resolv.conf"))
            update(root)
            apt(root, "install", "--no-install-recommends", *missing)
            run(root, ["apt-get", "clean"])
    return root


def clean_root(release, arch, dest):
    """A copy of the release's clean root for `arch` at `dest` (which must not
    exist), with the resolver of today and the lists brought up to date."""
    source = make_root(release, arch)
    subprocess.run(["cp", "-a", "--reflink=auto", source, dest], check=True)
    os.remove(os.path.join(dest, MADE))
    shutil.copyfile("/etc/resolv.conf", os.path.join(dest, "etc", "resolv.conf"))
    update(dest)
    return dest


def prepare():
    for release in RELEASES:
        if release != "deb12":
            build_root(release)
        for arch in ARCHES:
            make_root(release, arch)


def main():
    if sys.argv[1:2] == ["sources"] and len(sys.argv) == 3 and sys.argv[2] in RELEASES:
        sys.stdout.write(sources_text(RELEASES[sys.argv[2]], *mirrors()))
        return
    if os.geteuid() != 0:
        os.execvp("sudo", ["sudo", "--preserve-env=KRANDOLIX_ROOTS", sys.executable, *sys.argv])
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="what", required=True)
    b = sub.add_parser("build")
    b.add_argument("release", choices=RELEASES)
    c = sub.add_parser("clean")
    c.add_argument("release", choices=RELEASES)
    c.add_argument("arch", choices=ARCHES)
    c.add_argument("dest")
    sub.add_parser("prepare")
    sub.add_parser("sources").add_argument("release", choices=RELEASES)
    r = sub.add_parser("run")
    r.add_argument("root")
    r.add_argument("--bind", action="append", default=[])
    r.add_argument("--cwd", default="/")
    r.add_argument("--env", action="append", default=[])
    argv = sys.argv[1:]
    cmd = argv[argv.index("--") + 1:] if "--" in argv else []
    a = ap.parse_args(argv[:len(argv) - len(cmd) - 1] if cmd else argv)
    if a.what == "build":
        print(build_root(a.release))
    elif a.what == "clean":
        print(clean_root(a.release, a.arch, a.dest))
    elif a.what == "prepare":
        prepare()
    else:
        if not cmd:
            ap.error("run: no command after --")
        binds = [tuple(b.split(":", 1)) for b in a.bind]
        sys.exit(run(a.root, cmd, check=False, binds=binds, cwd=a.cwd, env=a.env).returncode)


if __name__ == "__main__":
    main()
