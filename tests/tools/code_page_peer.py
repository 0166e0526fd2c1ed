#!/usr/bin/python3
"""An independent view of a document's narrow strings: olefile opens the
property-set streams, and every section's strings are decoded here with the
code page that section declares, by Python's own codecs.

  code_page_peer.py FILE

Prints one JSON object: {"summary": SECTION, "docsummary": SECTION,
"custom": SECTION}, each SECTION {"codepage": N, "values": {KEY: TEXT}}
where KEY is the property id for the first two and the dictionary name for
the custom section. Exit 3 when olefile is missing.
"""
import json
import struct
import sys

try:
    import olefile
except ImportError:
    sys.exit(3)

MAC = {10000: "mac_roman", 10006: "mac_greek", 10007: "mac_cyrillic",
       10029: "mac_latin2", 10079: "mac_iceland", 10081: "mac_turkish"}


# Python has no codec for the Mac East Asian pages; the national standards
# they are built on decode the texts the tests use the same way.
MAC_EAST_ASIAN = {10001: "shift_jis", 10002: "big5", 10003: "euc_kr", 10008: "gb2312"}


def codec(cp):
    if cp == 65001:
        return "utf-8"
    if cp == 936:
        return "gbk"
    return MAC.get(cp) or MAC_EAST_ASIAN.get(cp) or "cp%d" % cp


def section(data, offset):
    count = struct.unpack_from("<I", data, offset + 4)[0]
    entries = [struct.unpack_from("<II", data, offset + 8 + 8 * i) for i in range(count)]
    cp = None
    for pid, at in entries:
        if pid == 1:
            cp = struct.unpack_from("<H", data, offset + at + 4)[0]
    names = {}
    for pid, at in entries:
        if pid != 0:
            continue
        p = offset + at
        n = struct.unpack_from("<I", data, p)[0]
        p += 4
        for _ in range(n):
            name_id, length = struct.unpack_from("<II", data, p)
            p += 8
            if cp == 1200:
                names[name_id] = data[p:p + 2 * length].decode("utf-16-le").rstrip("\0")
                p += (2 * length + 3) & ~3
            else:
                names[name_id] = data[p:p + length].decode(codec(cp)).rstrip("\0")
                p += length
    values = {}
    for pid, at in entries:
        p = offset + at
        vt = struct.unpack_from("<H", data, p)[0]
        if vt == 30:
            length = struct.unpack_from("<I", data, p + 4)[0]
            raw = data[p + 8:p + 8 + length]
            text = raw.decode("utf-16-le") if cp == 1200 else raw.decode(codec(cp))
        elif vt == 31:
            length = struct.unpack_from("<I", data, p + 4)[0]
            text = data[p + 8:p + 8 + 2 * length].decode("utf-16-le")
        else:
            continue
        values[names.get(pid, str(pid))] = text.rstrip("\0")
    return {"codepage": cp, "values": values}


def sections(ole, name):
    if not ole.exists(name):
        return []
    data = ole.openstream(name).read()
    count = struct.unpack_from("<I", data, 24)[0]
    return [section(data, struct.unpack_from("<I", data, 28 + 20 * i + 16)[0])
            for i in range(count)]


def main(path):
    ole = olefile.OleFileIO(path)
    summary = sections(ole, "\x05SummaryInformation")
    doc = sections(ole, "\x05DocumentSummaryInformation")
    print(json.dumps({"summary": summary[0] if summary else None,
                      "docsummary": doc[0] if doc else None,
                      "custom": doc[1] if len(doc) > 1 else None}, ensure_ascii=False))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
