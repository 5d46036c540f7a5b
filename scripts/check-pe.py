#!/usr/bin/env python3
"""Checks a Windows DLL: check-pe.py DLL MACHINE [EXPORT...]

MACHINE is i386 or amd64. Passes when the file is a PE image for that machine
and exports exactly the names given (all of them, and nothing else)."""
import struct
import sys

MACHINES = {"i386": 0x14C, "amd64": 0x8664}


def exports(data, pe):
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    opt = pe + 24
    dirs = opt + (96 if magic == 0x10B else 112)
    rva, size = struct.unpack_from("<II", data, dirs)
    if not rva:
        return []
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
    path, machine, *want = sys.argv[1:]
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
    print(f"{path}: PE {machine}, exports {', '.join(names)}")


if __name__ == "__main__":
    main()
