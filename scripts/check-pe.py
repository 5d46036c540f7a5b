#!/usr/bin/env python3
"""Checks a Windows DLL or program:
  check-pe.py FILE MACHINE [EXPORT...] [--version X.Y.Z] [--imports-from DLL...]

MACHINE is i386 or amd64. Passes when the file is a PE image for that machine,
exports exactly the names given (all of them, and nothing else), and imports
from no DLL but the system's and those named after --imports-from (so that
nothing else need be copied beside it). With --version: a version resource
with that file version and a Korean (code page 949) and an English block."""
import struct
import sys

MACHINES = {"i386": 0x14C, "amd64": 0x8664}
# what every Windows has (the C runtime msvcrt.dll included)
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "comdlg32.dll", "advapi32.dll",
               "shell32.dll", "ole32.dll", "oleaut32.dll", "msvcrt.dll", "ws2_32.dll", "winmm.dll",
               "version.dll", "shlwapi.dll", "bcrypt.dll", "ntdll.dll"}


def directory(data, pe, index):
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    dirs = pe + 24 + (96 if magic == 0x10B else 112)
    return struct.unpack_from("<II", data, dirs + 8 * index)


def section_map(data, pe):
    nsec = struct.unpack_from("<H", data, pe + 6)[0]
    optsize = struct.unpack_from("<H", data, pe + 20)[0]
    sections = []
    for i in range(nsec):
        off = pe + 24 + optsize + 40 * i
        vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, off + 8)
        sections.append((vaddr, max(vsize, rawsize), rawptr))

    def at(r):
        for vaddr, vsize, rawptr in sections:
            if vaddr <= r < vaddr + vsize:
                return r - vaddr + rawptr
        raise ValueError("rva outside sections")
    return at


def imports(data, pe):
    rva, _ = directory(data, pe, 1)
    if not rva:
        return []
    at = section_map(data, pe)
    out = []
    d = at(rva)
    while True:
        name_rva = struct.unpack_from("<I", data, d + 12)[0]
        if not name_rva:
            return out
        s = at(name_rva)
        out.append(data[s:data.index(b"\0", s)].decode())
        d += 20


def exports(data, pe):
    rva, _ = directory(data, pe, 0)
    if not rva:
        return []
    at = section_map(data, pe)
    d = at(rva)
    nnames, names_rva = struct.unpack_from("<I", data, d + 24)[0], struct.unpack_from("<I", data, d + 32)[0]
    nfuncs = struct.unpack_from("<I", data, d + 20)[0]
    out = []
    for i in range(nnames):
        name_rva = struct.unpack_from("<I", data, at(names_rva) + 4 * i)[0]
        s = at(name_rva)
        out.append(data[s:data.index(b"\0", s)].decode())
    if nfuncs != nnames:
        out.append("<%d unnamed>" % (nfuncs - nnames))
    return out


def main():
    path, machine, *rest = sys.argv[1:]
    allowed = set()
    if "--imports-from" in rest:
        split = rest.index("--imports-from")
        allowed = {d.lower() for d in rest[split + 1:]}
        rest = rest[:split]
    version = None
    if "--version" in rest:
        split = rest.index("--version")
        version = rest[split + 1]
        rest = rest[:split] + rest[split + 2:]
    want = rest
    data = open(path, "rb").read()
    if data[:2] != b"MZ":
        sys.exit(f"{path}: not a PE file")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: no PE signature")
    got = struct.unpack_from("<H", data, pe + 4)[0]
    if got != MACHINES[machine]:
        sys.exit(f"{path}: machine 0x{got:x}, expected {machine}")
    names = exports(data, pe)
    if sorted(names) != sorted(want):
        sys.exit(f"{path}: exports {names}, expected {want}")
    if version:
        at = data.find(struct.pack("<I", 0xFEEF04BD))
        if at < 0:
            sys.exit(f"{path}: no version resource")
        ms, ls = struct.unpack_from("<II", data, at + 8)
        got = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}"
        if got != version:
            sys.exit(f"{path}: file version {got}, expected {version}")
        for block in ("041203b5", "040904b0"):
            if block.encode("utf-16-le") not in data:
                sys.exit(f"{path}: no string block {block} in its version resource")
    used = imports(data, pe)
    foreign = [d for d in used if d.lower() not in SYSTEM_DLLS | allowed and not d.lower().startswith("api-ms-win-")]
    if foreign:
        sys.exit(f"{path}: imports {foreign}, which are neither the system's nor {sorted(allowed)}")
    print(f"{path}: PE {machine}, exports {', '.join(names) or 'nothing'}, imports {', '.join(used)}")


if __name__ == "__main__":
    main()
