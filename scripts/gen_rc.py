#!/usr/bin/env python3
"""Writes a UTF-8 resource script as CP949 for the resource compiler, with the
numbers it shows taken from the line settings' table:

  gen_rc.py IN OUT RANGES_HEADER

In IN, {{kName.low}} and {{kName.high}} stand for the ends of the range that
RANGES_HEADER declares as "constexpr LineRange kName{LOW, HIGH};". A name the
header does not declare stops the build.
"""
import re
import sys

src, dst, header = sys.argv[1:]
ranges = {}
with open(header, encoding="utf-8") as f:
    for m in re.finditer(r"constexpr\s+LineRange\s+(\w+)\s*\{\s*(-?\d+)\s*,\s*(-?\d+)\s*\}\s*;", f.read()):
        ranges[m.group(1)] = {"low": m.group(2), "high": m.group(3)}


def number(m):
    name, end = m.group(1), m.group(2)
    if name not in ranges:
        sys.exit(f"{src}: {header} declares no LineRange {name}")
    return ranges[name][end]


with open(src, encoding="utf-8") as f:
    text = re.sub(r"\{\{(\w+)\.(low|high)\}\}", number, f.read())
with open(dst, "w", encoding="cp949", newline="\n") as f:
    f.write(text)
