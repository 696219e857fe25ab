#!/usr/bin/env python3
"""The image checker refuses each fault it exists to catch.

  check_sys_test.py IMAGE CHECK_ARGS...

Starting from a good image (which must pass), writes one faulty copy per case
and expects check_sys.py to fail on it with the matching FAULT line.
"""
import os
import struct
import subprocess
import sys
import tempfile

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import pe_checksum  # noqa: E402


def run_check(image, check_args):
    return subprocess.run([sys.executable, os.path.join(HERE, "check_sys.py"), image, *check_args],
                          capture_output=True, text=True)


def optional_header(data):
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    return pe_offset + 24


def resum(data):
    field = optional_header(data) + 64
    struct.pack_into("<I", data, field, 0)
    struct.pack_into("<I", data, field, pe_checksum.checksum(bytes(data), field))


def zero_checksum(data):
    struct.pack_into("<I", data, optional_header(data) + 64, 0)


def gui_subsystem(data):
    struct.pack_into("<H", data, optional_header(data) + 68, 2)
    resum(data)


def writable_code(data):
    pe = pefile.PE(data=bytes(data))
    text = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".text")
    flags = text.Characteristics | pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
    struct.pack_into("<I", data, text.get_file_offset() + 36, flags)
    resum(data)


def strip_relocations(data):
    pe = pefile.PE(data=bytes(data))
    flags = pe.FILE_HEADER.Characteristics | pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]
    struct.pack_into("<H", data, pe.FILE_HEADER.get_file_offset() + 18, flags)
    resum(data)


CASES = [
    ("zero checksum", zero_checksum, "checksum 0x00000000 is not the image's"),
    ("GUI subsystem", gui_subsystem, "not NATIVE"),
    ("writable code", writable_code, "section .text is both writable and executable"),
    ("relocations stripped", strip_relocations, "relocations stripped"),
]


def main():
    image, check_args = sys.argv[1], sys.argv[2:]
    good = run_check(image, check_args)
    if good.returncode != 0:
        print(good.stdout + good.stderr)
        print("FAIL: the built image does not pass")
        return 1
    with open(image, "rb") as f:
        original = f.read()
    failed = 0
    with tempfile.TemporaryDirectory() as tmp:
        for name, corrupt, expected in CASES:
            data = bytearray(original)
            corrupt(data)
            path = os.path.join(tmp, "faulty.sys")
            with open(path, "wb") as f:
                f.write(data)
            result = run_check(path, check_args)
            if result.returncode == 0 or expected not in result.stderr:
                print(f"FAIL: {name}: expected a fault '{expected}', got:\n{result.stderr}")
                failed += 1
        # An export list without one of the image's imports.
        exports = os.path.join(tmp, "ntoskrnl.exports")
        with open(exports, "w") as f:
            f.write("DbgPrint\n")
        narrowed = []
        for arg in check_args:
            if arg.startswith("ntoskrnl.exe="):
                arg = f"ntoskrnl.exe={exports}"
            narrowed.append(arg)
        result = run_check(image, narrowed)
        if result.returncode == 0 or "ntoskrnl.exe does not export memcpy" not in result.stderr:
            print(f"FAIL: an import the module does not export passed:\n{result.stderr}")
            failed += 1
    print(f"check_sys: {len(CASES) + 1 - failed} of {len(CASES) + 1} faulty images refused")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
