#!/usr/bin/env python3
"""Writes a PE image's CheckSum field, which 64-bit Windows requires of a driver.

The sum is the image's 16-bit little-endian words added with end-around carry,
the CheckSum field itself counted as zero, plus the file's length.
"""
import struct
import sys


def checksum(data: bytes, field: int) -> int:
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    # The field's own two words were counted; take them out again.
    for (word,) in struct.iter_unpack("<H", data[field:field + 4]):
        total -= word
        if total < 0:
            total += 0xFFFF
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main() -> int:
    path = sys.argv[1]
    with open(path, "rb") as f:
        data = bytearray(f.read())
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe_offset:pe_offset + 4] != b"PE\0\0":
        print(f"{path}: not a PE image", file=sys.stderr)
        return 1
    # Signature (4) + file header (20), then CheckSum at 64 into the optional header.
    field = pe_offset + 24 + 64
    struct.pack_into("<I", data, field, 0)
    struct.pack_into("<I", data, field, checksum(bytes(data), field))
    with open(path, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
