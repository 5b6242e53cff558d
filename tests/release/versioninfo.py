#!/usr/bin/env python3
"""Prints the strings of a Windows executable's version resource, one
KEY=VALUE a line (FileVersion=1.0.0, FirmwareImage=..., ...).
  versioninfo.py PROGRAM.exe"""
import struct
import sys


def node(data, at):
    """One VS_VERSIONINFO node at `at`: (key, value, children, end)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    key_end = data.index(b"\0\0", at + 6)
    while (key_end - at) % 2:  # the terminator starts on a UTF-16 unit
        key_end = data.index(b"\0\0", key_end + 1)
    key = data[at + 6:key_end].decode("utf-16-le")
    pos = (key_end + 2 + 3) & ~3
    size = value_length * 2 if kind == 1 else value_length
    value = data[pos:pos + size]
    pos = (pos + size + 3) & ~3
    children = []
    while pos + 6 <= end:
        child = node(data, pos)
        children.append(child)
        if child[3] <= pos:
            break
        pos = (child[3] + 3) & ~3
    return key, value, children, end


def main():
    data = open(sys.argv[1], "rb").read()
    at = data.find("VS_VERSION_INFO".encode("utf-16-le")) - 6
    if at < 0:
        sys.exit(f"{sys.argv[1]}: no version resource")
    _, _, children, _ = node(data, at)
    for key, _, tables, _ in children:
        if key != "StringFileInfo":
            continue
        for _, _, strings, _ in tables:
            for name, value, _, _ in strings:
                print(f"{name}={value.decode('utf-16-le').rstrip(chr(0))}")


main()
