#!/usr/bin/python3
"""Prints the image sizes of each icon group in a Windows executable, one
line per group: its name and the sides in pixels, largest first.

Usage: icon-sizes.py FILE.exe
"""

import struct
import sys

RT_GROUP_ICON = 14


def read_pe(data):
    """(image sections, resource directory RVA) of a PE32+ or PE32 file."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit("not a PE file")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    table = []
    for i in range(sections):
        _, size, rva, raw_size, raw = struct.unpack_from("<8sIIII", data, optional + optional_size + 40 * i)
        table.append((rva, max(size, raw_size), raw))
    return table, resource_rva


def offset_of(sections, rva):
    for start, size, raw in sections:
        if start <= rva < start + size:
            return raw + rva - start
    sys.exit("RVA %#x lies in no section" % rva)


def entries(data, base, directory):
    named, numbered = struct.unpack_from("<HH", data, base + directory + 12)
    for i in range(named + numbered):
        name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * i)
        yield name, target


def name_of(data, base, name):
    if not name & 0x80000000:
        return str(name)
    at = base + (name & 0x7FFFFFFF)
    length = struct.unpack_from("<H", data, at)[0]
    return data[at + 2:at + 2 + 2 * length].decode("utf-16-le")


def main():
    data = open(sys.argv[1], "rb").read()
    sections, resource_rva = read_pe(data)
    base = offset_of(sections, resource_rva)
    for kind, groups in entries(data, base, 0):
        if kind != RT_GROUP_ICON:
            continue
        for name, languages in entries(data, base, groups & 0x7FFFFFFF):
            for _, entry in entries(data, base, languages & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + entry)
                group = offset_of(sections, rva)
                count = struct.unpack_from("<H", data, group + 4)[0]
                sides = [data[group + 6 + 14 * i] or 256 for i in range(count)]
                print(name_of(data, base, name), " ".join(str(s) for s in sorted(sides, reverse=True)))


if __name__ == "__main__":
    main()
