#!/usr/bin/env python3
"""Writes a UTF-8 resource script as CP949 for the resource compiler: gen_rc.py IN OUT"""
import sys

src, dst = sys.argv[1:]
with open(src, encoding="utf-8") as f:
    text = f.read()
with open(dst, "w", encoding="cp949", newline="\n") as f:
    f.write(text)
