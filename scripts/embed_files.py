#!/usr/bin/env python3
"""Builds files into a program: embed_files.py OUT.h URL=FILE...

Writes a header with kWebAssets, one entry a file (its URL path, its content
type from the extension, its bytes), ended by an entry whose path is null."""
import os
import sys

TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
         ".css": "text/css; charset=utf-8", ".svg": "image/svg+xml", ".png": "image/png",
         ".ico": "image/x-icon"}


def main():
    out, *pairs = sys.argv[1:]
    lines = ["// Made by scripts/embed_files.py at build time: do not edit.", "#pragma once", "",
             "#include <cstddef>", "",
             "struct WebAsset {", "    const char* path;", "    const char* type;",
             "    const char* data;", "    size_t size;", "};", ""]
    entries = []
    for i, pair in enumerate(pairs):
        url, path = pair.split("=", 1)
        with open(path, "rb") as f:
            data = f.read()
        body = ",".join(str(b) for b in data)
        lines.append(f"static const unsigned char kAsset{i}[] = {{{body}{',' if data else ''}0}};")
        kind = TYPES[os.path.splitext(path)[1]]
        entries.append(f'    {{"{url}", "{kind}", reinterpret_cast<const char*>(kAsset{i}), {len(data)}}},')
    lines += ["", "static const WebAsset kWebAssets[] = {", *entries, "    {nullptr, nullptr, nullptr, 0},", "};", ""]
    text = "\n".join(lines)
    if not os.path.exists(out) or open(out).read() != text:
        with open(out, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
