#!/usr/bin/env python3
"""Checks what Windows demands of an x64 kernel driver image before it loads it.

  check_sys.py IMAGE --exports MODULE=FILE ...

Each --exports names a module the image may import from and a file listing the
names that module exports (one a line, or a .def file's EXPORTS section). The
image must be PE32+ for AMD64 with the native subsystem and an entry point in
code; its checksum must be right (64-bit Windows refuses a driver without
one); no section may be both writable and executable; it must carry its base
relocations; it imports only the given modules and only names they export,
and nothing of a C runtime (no TLS, no CRT sections). Prints the imports and
sections; exits 1 on the first list of faults.
"""
import argparse
import sys

import pefile

RUNTIME_SECTIONS = {".CRT", ".tls"}


def read_exports(path):
    names = set()
    in_exports = not path.endswith(".def")
    with open(path) as f:
        for line in f:
            line = line.split(";", 1)[0].strip()
            if not line:
                continue
            if not in_exports:
                in_exports = line.upper() == "EXPORTS"
                continue
            names.add(line.split()[0])
    return names


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("image")
    parser.add_argument("--exports", action="append", default=[], metavar="MODULE=FILE")
    args = parser.parse_args()
    allowed = {}
    for item in args.exports:
        module, path = item.split("=", 1)
        allowed[module.lower()] = read_exports(path)

    pe = pefile.PE(args.image)
    faults = []
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    if oh.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
        faults.append("not PE32+")
    if fh.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]:
        faults.append(f"machine 0x{fh.Machine:x}, not AMD64")
    if oh.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_NATIVE"]:
        faults.append(f"subsystem {oh.Subsystem}, not NATIVE")
    if oh.CheckSum == 0 or not pe.verify_checksum():
        faults.append(f"checksum 0x{oh.CheckSum:08x} is not the image's (0x{pe.generate_checksum():08x})")

    print(f"{args.image}: PE32+ machine 0x{fh.Machine:x} subsystem {oh.Subsystem} "
          f"entry 0x{oh.AddressOfEntryPoint:x} checksum 0x{oh.CheckSum:08x}")
    print("sections:")
    entry_in_code = False
    for s in pe.sections:
        name = s.Name.rstrip(b"\0").decode(errors="replace")
        flags = s.Characteristics
        writable = bool(flags & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"])
        executable = bool(flags & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"])
        readable = bool(flags & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_READ"])
        rights = ("r" if readable else "-") + ("w" if writable else "-") + ("x" if executable else "-")
        print(f"  {name:<8} {rights} virtual 0x{s.VirtualAddress:x} size 0x{s.Misc_VirtualSize:x}")
        if writable and executable:
            faults.append(f"section {name} is both writable and executable")
        if name in RUNTIME_SECTIONS:
            faults.append(f"section {name} belongs to a C runtime")
        if executable and s.contains_rva(oh.AddressOfEntryPoint):
            entry_in_code = True
    if not entry_in_code:
        faults.append("the entry point is not in an executable section")

    if fh.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]:
        faults.append("relocations stripped")
    relocs = getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
    if not relocs or not any(block.entries for block in relocs):
        faults.append("no base relocations")
    if getattr(pe, "DIRECTORY_ENTRY_TLS", None) is not None:
        faults.append("a TLS directory (C runtime)")

    print("imports:")
    imported = set()
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        module = entry.dll.decode()
        imported.add(module.lower())
        names = []
        for imp in entry.imports:
            if imp.name is None:
                faults.append(f"{module}: import by ordinal {imp.ordinal}")
                continue
            names.append(imp.name.decode())
        print(f"  {module}: {' '.join(names)}")
        exports = allowed.get(module.lower())
        if exports is None:
            faults.append(f"imports from {module}, which a driver may not use")
            continue
        faults.extend(f"{module} does not export {n}" for n in names if n not in exports)
    for entry in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []):
        faults.append(f"delay-load import from {entry.dll.decode()}")
    if "wdfldr.sys" in allowed and "wdfldr.sys" not in imported:
        faults.append("nothing imported from WDFLDR.SYS: the image never binds to the framework")

    if faults:
        for fault in faults:
            print(f"FAULT: {fault}", file=sys.stderr)
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
