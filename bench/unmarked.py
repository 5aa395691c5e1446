#!/usr/bin/env python3
"""Prints `SHA-256  NAME` for each file, with the program's output mark taken out of JPEG,
PNG and WebP files (the COM segment, tEXt chunk or RIFF chunk that starts with the mark's
keyword; for WebP the RIFF size too): two builds whose marks say different things made
the same image when these agree. Other files are digested whole. Used by
bench/identical.sh --without-marks.

    bench/unmarked.py FILE...
"""
import hashlib
import struct
import sys

KEYWORD = b"velk-output-mark\0"


def unmarked(data: bytes) -> bytes:
    at = data.find(KEYWORD)
    if at < 0:
        return data
    if data.startswith(b"\xff\xd8") and data[at - 4:at - 2] == b"\xff\xfe":
        (length,) = struct.unpack(">H", data[at - 2:at])
        return data[:at - 4] + data[at - 2 + length:]
    if data.startswith(b"\x89PNG") and data[at - 4:at] == b"tEXt":
        (length,) = struct.unpack(">I", data[at - 8:at - 4])
        return data[:at - 8] + data[at + length + 4:]
    if data.startswith(b"RIFF") and data[8:12] == b"WEBP":
        (length,) = struct.unpack("<I", data[at - 4:at])
        rest = data[:at - 8] + data[at + length + (length & 1):]
        return rest[:4] + b"\0\0\0\0" + rest[8:]
    return data


for name in sys.argv[1:]:
    with open(name, "rb") as file:
        print(f"{hashlib.sha256(unmarked(file.read())).hexdigest()}  {name}")
