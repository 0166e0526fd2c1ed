#!/usr/bin/env python3
"""Prints the StringFileInfo entries of a PE file's VERSION resource, one
"key=value" a line, and the fixed file version as "FileVersion#=a.b.c.d"."""
import struct
import sys

data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
if data[pe:pe + 4] != b"PE\0\0":
    sys.exit("not a PE file")
sections_count, opt_size = struct.unpack_from("<H12xH", data, pe + 6)
opt = pe + 24
magic = struct.unpack_from("<H", data, opt)[0]
dirs = opt + (96 if magic == 0x10B else 112)
rsrc_rva, rsrc_size = struct.unpack_from("<II", data, dirs + 2 * 8)
sections = []
for i in range(sections_count):
    s = opt + opt_size + 40 * i
    vsize, va, rawsize, raw = struct.unpack_from("<IIII", data, s + 8)
    sections.append((va, max(vsize, rawsize), raw))


def offset(rva):
    for va, size, raw in sections:
        if va <= rva < va + size:
            return raw + rva - va
    sys.exit("RVA 0x%x outside every section" % rva)


base = offset(rsrc_rva)


def entries(table):
    names, ids = struct.unpack_from("<HH", data, base + table + 12)
    for i in range(names + ids):
        name, target = struct.unpack_from("<II", data, base + table + 16 + 8 * i)
        yield name, target


def leaf(target):
    while target & 0x80000000:
        target = next(entries(target & 0x7FFFFFFF))[1]
    rva, size = struct.unpack_from("<II", data, base + target)
    return data[offset(rva):offset(rva) + size]


version = None
for name, target in entries(0):
    if name == 16:  # RT_VERSION
        version = leaf(target)
if version is None:
    sys.exit("no VERSION resource")


def block(buf, pos):
    length, value_len, kind = struct.unpack_from("<HHH", buf, pos)
    end = buf.index(b"\0\0", pos + 6)
    while (end - pos - 6) % 2:
        end = buf.index(b"\0\0", end + 1)
    key = buf[pos + 6:end].decode("utf-16-le")
    value = (end + 2 + 3) & ~3
    return length, value_len, kind, key, value


def walk(buf, pos, stop, depth):
    while pos < stop:
        length, value_len, kind, key, value = block(buf, pos)
        if length == 0:
            break
        if depth == 0 and key == "VS_VERSION_INFO":
            ms, ls = struct.unpack_from("<II", buf, value + 8)
            print("FileVersion#=%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF))
            walk(buf, (value + value_len + 3) & ~3, pos + length, 1)
        elif depth == 3:
            text = buf[value:value + 2 * value_len].decode("utf-16-le").rstrip("\0")
            print("%s=%s" % (key, text))
        elif key != "VarFileInfo":
            walk(buf, (value + (value_len if kind == 0 else 0) + 3) & ~3, pos + length, depth + 1)
        pos = (pos + length + 3) & ~3


walk(version, 0, len(version), 0)
