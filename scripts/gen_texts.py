#!/usr/bin/env python3
"""Turns a UTF-8 text catalogue into CP949 bytes for C++ (and a resource script).

Catalogue lines:  ID  NAME  TEXT     (ID is a string-table number or '-')
Blank lines and lines starting with '#' are skipped. TEXT runs to the end of the
line; \\n in it stands for a line break. A text in double quotes keeps the
blanks at its ends.

  gen_texts.py CATALOGUE HEADER NAMESPACE [--rc RCFILE]

The header holds, per entry, NAME: a constexpr char array with the text's CP949
bytes, or for an entry with an ID the id itself; and kStringTable: every entry
that has an ID with its CP949 text.
The optional resource script holds the STRINGTABLE of those entries.
"""
import sys


def parse(path):
    entries = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            parts = line.split(None, 2)
            if len(parts) < 3:
                sys.exit(f"{path}:{number}: expected ID NAME TEXT")
            ident, name, text = parts
            if len(text) >= 2 and text[0] == text[-1] == '"':
                text = text[1:-1]  # quotes keep blanks at the ends
            text = text.replace("\\n", "\n")
            try:
                data = text.encode("cp949")
            except UnicodeEncodeError as e:
                sys.exit(f"{path}:{number}: no CP949 form: {e}")
            entries.append((None if ident == "-" else int(ident), name, text, data))
    return entries


def c_bytes(data):
    out = []
    for b in data:
        if 0x20 <= b < 0x7F and chr(b) not in '"\\?':
            out.append(chr(b))
        else:
            out.append("\\x%02X\"\"" % b)
    return '"' + "".join(out) + '"'


def rc_string(data):
    # windres reads CP949 under code_page(949); quotes are doubled
    return '"' + data.decode("cp949").replace('"', '""').replace("\n", "\\n") + '"'


def main():
    args = sys.argv[1:]
    rc = None
    if "--rc" in args:
        i = args.index("--rc")
        rc = args[i + 1]
        del args[i:i + 2]
    catalogue, header, namespace = args
    entries = parse(catalogue)
    lines = ["// Generated from " + catalogue.split("/")[-1] + "; do not edit.",
             "#pragma once", "", "namespace " + namespace + " {", ""]
    for ident, name, text, data in entries:
        lines.append("// " + text.replace("\n", " "))
        if ident is None:
            lines.append("inline constexpr char %s[] = %s;" % (name, c_bytes(data)))
        else:
            lines.append("inline constexpr int %s = %d;" % (name, ident))
    lines += ["", "struct StringEntry {", "    int id;", "    const char* text;", "};", "",
              "inline constexpr StringEntry kStringTable[] = {"]
    for ident, name, text, data in entries:
        if ident is not None:
            lines.append("    {%d, %s}," % (ident, c_bytes(data)))
    lines += ["    {0, nullptr},", "};", "", "}  // namespace " + namespace, ""]
    with open(header, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    if rc:
        out = ["// Generated; do not edit.", "#pragma code_page(949)", "STRINGTABLE", "BEGIN"]
        for ident, name, text, data in entries:
            if ident is not None:
                out.append("    %d, %s" % (ident, rc_string(data)))
        out += ["END", ""]
        with open(rc, "w", encoding="cp949") as f:
            f.write("\n".join(out))


if __name__ == "__main__":
    main()
