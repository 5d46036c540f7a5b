#!/usr/bin/env python3
"""The version resource of one Windows binary, in CP949 for the resource compiler:
gen_version_rc.py OUT.rc VERSION FILENAME DESCRIPTION_KO DESCRIPTION_EN

Two string blocks, Korean (0x0412, code page 949) and English (0x0409, Unicode),
so that the Properties dialog of a Korean or an English Windows shows the file's
description in its language; the same file and product version in both."""
import sys


def main():
    out, version, filename, ko, en = sys.argv[1:]
    parts = (version.split(".") + ["0", "0", "0"])[:4]
    numbers = ",".join(parts)
    dotted = ".".join(parts[:3])

    def block(lang, description):
        return f'''        BLOCK "{lang}"
        BEGIN
            VALUE "CompanyName", "Krandolix"
            VALUE "FileDescription", "{description}"
            VALUE "FileVersion", "{dotted}"
            VALUE "InternalName", "{filename.rsplit('.', 1)[0]}"
            VALUE "OriginalFilename", "{filename}"
            VALUE "ProductName", "Krandolix"
            VALUE "ProductVersion", "{dotted}"
        END
'''
    kind = "VFT_DLL" if filename.lower().endswith(".dll") else "VFT_APP"
    text = f'''// Made by scripts/gen_version_rc.py at build time: do not edit.
#pragma code_page(949)
#include <winver.h>

VS_VERSION_INFO VERSIONINFO
FILEVERSION {numbers}
PRODUCTVERSION {numbers}
FILEFLAGSMASK VS_FFI_FILEFLAGSMASK
FILEFLAGS 0
FILEOS VOS_NT_WINDOWS32
FILETYPE {kind}
FILESUBTYPE 0
BEGIN
    BLOCK "StringFileInfo"
    BEGIN
{block("041203b5", ko)}{block("040904b0", en)}    END
    BLOCK "VarFileInfo"
    BEGIN
        VALUE "Translation", 0x0412, 949, 0x0409, 1200
    END
END
'''
    with open(out, "w", encoding="cp949", newline="\n") as f:
        f.write(text)


if __name__ == "__main__":
    main()
