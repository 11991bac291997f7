#!/usr/bin/env python3
"""Checks a kernel image as the platform's loader will take it, through
binutils' eyes, and what Wine's kernel made of it.

  check_image.py TRIPLET IMAGE SMCLIB_DEF       the image itself (objdump -p, nm)
  check_image.py TRIPLET IMAGE --wine-log LOG   DriverEntry, the dispatch table
                                                and the unload, from Wine's
                                                +ntoskrnl,+loaddll trace

TRIPLET is the MinGW-w64 target (x86_64-w64-mingw32 or i686-w64-mingw32).
Prints one line per check; exit status 1 when any fails.
"""
import re
import subprocess
import sys

FORMAT = {"x86_64-w64-mingw32": ("pei-x86-64", "PE32+", "DriverEntry"),
          "i686-w64-mingw32": ("pei-i386", "PE32", "_DriverEntry@8")}
# Each module the image may import from, and MinGW-w64's import library that
# lists its exports (SMCLIB.SYS: the project's .def).
MODULES = {"ntoskrnl.exe": "libntoskrnl.a", "HAL.dll": "libhal.a", "USBD.SYS": "libusbd.a", "SMCLIB.SYS": None}
RUNTIME = re.compile(r"__cxa_|__gxx_personality|_Unwind_|_ZTI|_Znw|_Zna|_ZdlPv|_ZdaPv|__dso_handle|atexit|"
                     r"_GLOBAL__sub_I_|__main$|_chkstk|__stack_chk")
# The driver object's slots DriverEntry fills: major function -> routine.
DISPATCH = {0x00: "DispatchCreate", 0x02: "DispatchClose", 0x0E: "DispatchDeviceControl", 0x12: "DispatchCleanup",
            0x16: "DispatchPower", 0x17: "DispatchSystemControl", 0x1B: "DispatchPnp"}

failures = 0


def check(name, ok, detail=""):
    global failures
    failures += not ok
    print("%s %s%s" % ("ok  " if ok else "FAIL", name, ": " + detail if detail and not ok else ""))
    return ok


def tool(triplet, name, *args):
    return subprocess.run(["%s-%s" % (triplet, name)] + list(args), check=True, capture_output=True,
                          text=True).stdout


def header(dump, field):
    match = re.search(r"^%s\s+([0-9a-fA-F]+)" % field, dump, re.M)
    return int(match.group(1), 16) if match else None


def symbols(triplet, image, demangle=False):
    """Symbol name -> address; demangled names lose their parameters."""
    found = {}
    for line in tool(triplet, "nm", *(["-C"] if demangle else []), image).splitlines():
        match = re.match(r"^([0-9a-f]+) \w (.*)$", line)
        if match:
            found[match.group(2).split("(")[0] if demangle else match.group(2)] = int(match.group(1), 16)
    return found


def import_library_exports(triplet, library):
    """The names an import library imports by: each member's .idata$6 holds a hint and the name."""
    dump = tool(triplet, "objdump", "-s", "-j", ".idata$6", "/usr/%s/lib/%s" % (triplet, library))
    names = set()
    for member in dump.split("Contents of section .idata$6:")[1:]:
        rows = re.findall(r"^ [0-9a-f]{4} (.{35})", member.split("\n", 1)[1].split("\n\n")[0], re.M)
        names.add(bytes.fromhex("".join("".join(rows).split()))[2:].split(b"\0")[0].decode())
    return names


def def_exports(path):
    return {line.strip().split("@")[0] for line in open(path, encoding="utf-8")
            if re.match(r"^[A-Za-z_]\w*(@\d+)?\s*$", line)}


def imports(dump):
    """DLL name -> imported names, from objdump -p's import tables (the names end at a blank line)."""
    tables = {}
    for block in dump.split("\tDLL Name: ")[1:]:
        name, _, rest = block.partition("\n")
        tables[name.strip()] = re.findall(r"^\t[0-9a-f]+\s+\d+\s+(\S+)$", rest.split("\n\n")[0], re.M)
    return tables


def check_image(triplet, image, smclib_def):
    file_format, magic, entry = FORMAT[triplet]
    dump = tool(triplet, "objdump", "-p", image)
    check("format %s, %s" % (file_format, magic),
          "file format %s" % file_format in dump and re.search(r"^Magic\s+\S+\s+\(%s\)" % re.escape(magic), dump, re.M))
    check("native subsystem", re.search(r"^Subsystem\s+00000001", dump, re.M) is not None)
    check("relocations, so it loads at any address",
          re.search(r"^Entry 5 [0-9a-f]+ 0*[1-9a-f][0-9a-f]* Base Relocation", dump, re.M) is not None)
    found = symbols(triplet, image)
    entry_address = header(dump, "ImageBase") + header(dump, "AddressOfEntryPoint")
    check("entry point %s" % entry, found.get(entry) == entry_address,
          "the entry is at %#x, %s at %s" % (entry_address, entry, hex(found[entry]) if entry in found else "nowhere"))
    tables = imports(dump)
    check("imports only from %s" % ", ".join(MODULES), set(tables) <= set(MODULES), " ".join(sorted(tables)))
    for dll in sorted(set(tables) & set(MODULES)):
        exported = def_exports(smclib_def) if MODULES[dll] is None else import_library_exports(triplet, MODULES[dll])
        missing = sorted(set(tables[dll]) - exported)
        check("%d names from %s, each one it exports" % (len(tables[dll]), dll), not missing, " ".join(missing))
    counts = re.search(r"Number in:\n\tExport Address Table\s+(\w+)\n\t\[Name Pointer/Ordinal\] Table\s+(\w+)", dump)
    check("no exports", not counts or counts.groups() == ("00000000", "00000000"), counts and " ".join(counts.groups()))
    runtime = sorted(name for name in found if RUNTIME.search(name))
    check("no C++ runtime", not runtime, " ".join(runtime))


def check_wine_log(triplet, image, log):
    name = image.replace("\\", "/").split("/")[-1]
    stem = name[:-4]  # without .sys
    trace = open(log, encoding="utf-8", errors="replace").read()
    dump = tool(triplet, "objdump", "-p", image)
    found = {**symbols(triplet, image, demangle=True), **symbols(triplet, image)}
    loaded = re.search(r"Loaded L\"[^\"]*\\\\%s\" at ([0-9A-Fa-f]+)" % re.escape(name), trace)
    if not check("Wine loaded %s" % name, loaded is not None):
        return
    # Wine may load the image elsewhere than its preferred base.
    shift = int(loaded.group(1), 16) - header(dump, "ImageBase")
    init = re.search(r"(?m)^(\w+):trace:ntoskrnl:init_driver init done for L\"%s\" obj (\w+)" % re.escape(stem), trace)
    if not check("DriverEntry ran", init is not None):
        return
    # The thread that loaded the driver traces its slots, and later unloads it.
    thread, driver_object = init.groups()
    lines = [line for line in trace[init.start():].splitlines() if line.startswith(thread + ":")]
    slots = dict(re.findall(r"init_driver - (\w+(?:\[\d+\])?) = ([0-9A-Fa-f]+)", "\n".join(lines)))
    address = {slot: int(value, 16) - shift for slot, value in slots.items()}
    check("DriverEntry is the entry the platform called", address.get("DriverInit") == found.get(FORMAT[triplet][2]))
    check("the unload routine is UnloadDriver", address.get("DriverUnload") == found.get("UnloadDriver"))
    default = address.get("MajorFunction[1]")
    wrong = [major for major in range(0x1C)
             if address.get("MajorFunction[%d]" % major) != found.get(DISPATCH.get(major), default)]
    check("dispatch table: the driver's seven handlers, the platform's default elsewhere", not wrong,
          "wrong slots " + " ".join(map(str, wrong)))
    unload = "\n".join(line.split(":", 3)[-1] for line in lines if "unload_driver" in line or "IoDeleteDriver" in line)
    check("unloaded and deleted", "unload_driver L\"\\\\Driver\\\\%s\"\nIoDeleteDriver (%s)" % (stem, driver_object) in unload,
          unload)


if __name__ == "__main__":
    if len(sys.argv) == 4:
        check_image(*sys.argv[1:])
    elif len(sys.argv) == 5 and sys.argv[3] == "--wine-log":
        check_wine_log(sys.argv[1], sys.argv[2], sys.argv[4])
    else:
        sys.exit(__doc__)
    sys.exit(1 if failures else 0)
