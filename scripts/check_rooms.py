#!/usr/bin/env python3
"""The gateway's rooms: each folder of gateway/ includes only its own headers
and those of the rooms it may use; the driver's own headers only where a
driver channel is run or its files are read. Exits 1 naming every include
the wrong way.

Usage: check_rooms.py GATEWAY_FOLDER"""
import os
import re
import sys

# room -> the rooms it may use (below it)
USES = {
    "core": set(),
    "config": {"core"},
    "channel": {"core", "config"},
    "history": {"core", "config"},
    "http": {"core"},
    "mqtt": {"core", "config"},
    "modbus": {"core", "config", "channel"},
    "opcua": {"core", "config"},
    "sparkplug": {"core", "config", "mqtt"},
    "web": {"core", "config", "channel", "http", "history"},
    "metrics": {"core", "config", "channel", "http"},
    "app": {"core", "config", "channel", "history", "http", "mqtt", "modbus", "opcua", "sparkplug", "web",
            "metrics"},
}
# the driver's component and the tools' shared code, and who may include them
DRIVER = ("host/", "driver/", "channel/", "config/", "protocol/", "LineScan.h", "ConfigJson.h",
          "driver_texts.h")
DRIVER_ROOMS = {"config", "channel", "app"}
# the small helpers every part of the program may use
SHARED = ("platform/", "krandolix_version.h", "web_assets.h", "sparkplug_b.pb-c.h")


def wrong_includes(folder):
    found = []
    for room in sorted(os.listdir(folder)):
        path = os.path.join(folder, room)
        if not os.path.isdir(path):
            continue
        if room not in USES:
            found.append(f"{room}/: a folder that is no room (add it to scripts/check_rooms.py)")
            continue
        for dirpath, _, files in os.walk(path):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp", ".c")):
                    continue
                source = os.path.join(dirpath, name)
                with open(source, encoding="utf-8") as f:
                    for number, line in enumerate(f, 1):
                        m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
                        if not m:
                            continue
                        target = m.group(1)
                        where = f"{os.path.relpath(source, os.path.dirname(folder))}:{number}"
                        if target.startswith("gateway/"):
                            other = target.split("/")[1]
                            if other != room and other not in USES[room]:
                                found.append(f"{where}: {room} may not include {target}")
                        elif target.startswith(SHARED):
                            continue
                        elif target.startswith(DRIVER):
                            if room not in DRIVER_ROOMS:
                                found.append(f"{where}: {room} may not include the driver's {target}")
                        else:
                            found.append(f"{where}: {target} is of no room")
    return found


if __name__ == "__main__":
    problems = wrong_includes(sys.argv[1])
    for p in problems:
        print(p, file=sys.stderr)
    sys.exit(1 if problems else 0)
