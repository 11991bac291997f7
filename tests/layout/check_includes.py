#!/usr/bin/env python3
"""Checks that includes follow the layers of the tree.

Inside driver/, a folder includes only from its own layer or the layers
below it: reader, then tracking, card, device, dispatch, from the bottom.
Everyone may include the shared device record (driver/device/device_context.h),
the deliverable's identity (driver/models/) and the driver's public headers
(driver/public/). The one include upwards is the driver entry's: it fills the
dispatch table with the routines of dispatch/.

platform/ and emulator/ include nothing of the driver; host/, ifd/ and tools/
include only its public headers.

usage: check_includes.py [SOURCE_DIR]     prints each offending include; exit 1 if any
"""
import os
import re
import sys

LAYERS = ["reader", "tracking", "card", "device", "dispatch"]
SHARED = ("driver/device/device_context.h", "driver/models/", "driver/public/")
UPWARDS = {("driver/device/driver_entry.cpp", "dispatch")}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def offences(root):
    for top in ("driver", "platform", "emulator", "host", "ifd", "tools"):
        for folder, _, files in os.walk(os.path.join(root, top)):
            for path in sorted(os.path.relpath(os.path.join(folder, name), root) for name in files):
                if not path.endswith((".h", ".cpp")):
                    continue
                for number, line in enumerate(open(os.path.join(root, path), encoding="utf-8"), 1):
                    match = INCLUDE.match(line)
                    if match and not allowed(path, match.group(1)):
                        yield "%s:%d: includes %s" % (path, number, match.group(1))


def allowed(path, target):
    top = path.split("/")[0]
    if not target.startswith("driver/"):
        return True
    if top != "driver":
        return top not in ("platform", "emulator") and target.startswith("driver/public/")
    source_layer, target_layer = path.split("/")[1], target.split("/")[1]
    if target.startswith(SHARED) or not {source_layer, target_layer} <= set(LAYERS) or (path, target_layer) in UPWARDS:
        return True
    return LAYERS.index(target_layer) <= LAYERS.index(source_layer)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    found = list(offences(root))
    for line in found:
        print(line)
    print("%d include(s) against the layers" % len(found))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
