#!/usr/bin/python3
"""Dumps the property sets of a compound file as JSON, read by two readers
independent of ours: olefile's getproperties() for the first section of
every property-set stream of the root storage, and a small reader here for
every section's code page and dictionary and the simple values of the
user-defined section (olefile reads first sections only).

Usage: dump_props.py FILE
Output: {"streams": [{"name", "damaged", "olefile": {id: value},
                      "sections": [{"fmtid", "codepage", "names": {id: name},
                                    "values": {id: {"vt", "value"}}}]}]}
Byte strings are given as {"hex": "..."}; FILETIMEs as integers.
"""
import json
import struct
import sys
import uuid

import olefile


def jsonable(v):
    if isinstance(v, bytes):
        return {"hex": v.hex()}
    return v


def read_sections(data):
    """Our own reading of the header, dictionary and simple values."""
    if len(data) < 48 or struct.unpack_from("<H", data, 0)[0] != 0xFFFE:
        return None
    count = struct.unpack_from("<I", data, 24)[0]
    if count not in (1, 2) or len(data) < 28 + 20 * count:
        return None
    out = []
    for i in range(count):
        fmtid = uuid.UUID(bytes_le=bytes(data[28 + 20 * i:44 + 20 * i]))
        start = struct.unpack_from("<I", data, 44 + 20 * i)[0]
        if start + 8 > len(data):
            return None
        n = struct.unpack_from("<I", data, start + 4)[0]
        if start + 8 + 8 * n > len(data):
            return None
        table = [struct.unpack_from("<II", data, start + 8 + 8 * k) for k in range(n)]
        codepage = None
        for pid, off in table:
            if pid == 1 and start + off + 6 <= len(data):
                codepage = struct.unpack_from("<H", data, start + off + 4)[0]
        names, values = {}, {}
        for pid, off in table:
            p = start + off
            try:
                if pid == 0:
                    entries = struct.unpack_from("<I", data, p)[0]
                    q = p + 4
                    for _ in range(entries):
                        eid, length = struct.unpack_from("<II", data, q)
                        q += 8
                        if codepage == 1200:
                            raw = data[q:q + 2 * length]
                            q += 2 * length
                            q += (-(2 * length)) % 4
                            name = raw.decode("utf-16-le", "replace")
                        else:
                            raw = data[q:q + length]
                            q += length
                            enc = {65001: "utf-8", 10000: "mac_roman"}.get(codepage, "cp%d" % (codepage or 1252))
                            try:
                                name = raw.decode(enc, "replace")
                            except LookupError:
                                name = raw.decode("latin-1")
                        names[str(eid)] = name.split("\x00")[0]
                    continue
                vt = struct.unpack_from("<H", data, p)[0]
                v = None
                if vt in (2,):
                    v = struct.unpack_from("<h", data, p + 4)[0]
                elif vt == 0x12:
                    v = struct.unpack_from("<H", data, p + 4)[0]
                elif vt in (3, 0x16, 10):
                    v = struct.unpack_from("<i", data, p + 4)[0]
                elif vt in (0x13, 0x17):
                    v = struct.unpack_from("<I", data, p + 4)[0]
                elif vt == 0x0B:
                    v = struct.unpack_from("<H", data, p + 4)[0] != 0
                elif vt == 5:
                    v = struct.unpack_from("<d", data, p + 4)[0]
                elif vt == 0x40:
                    v = struct.unpack_from("<Q", data, p + 4)[0]
                elif vt == 0x1E:
                    size = struct.unpack_from("<I", data, p + 4)[0]
                    raw = data[p + 8:p + 8 + size]
                    if codepage == 1200:
                        v = raw.decode("utf-16-le", "replace").split("\x00")[0]
                    else:
                        v = {"hex": raw.split(b"\x00")[0].hex()}
                elif vt == 0x1F:
                    length = struct.unpack_from("<I", data, p + 4)[0]
                    v = data[p + 8:p + 8 + 2 * length].decode("utf-16-le", "replace").split("\x00")[0]
                elif vt == 0x41:
                    size = struct.unpack_from("<I", data, p + 4)[0]
                    v = {"hex": data[p + 8:p + 8 + size].hex()}
                values[str(pid)] = {"vt": vt, "value": v}
            except struct.error:
                values[str(pid)] = {"vt": None, "value": None}
        out.append({"fmtid": str(fmtid).upper(), "codepage": codepage, "names": names,
                    "values": values})
    return out


def main():
    ole = olefile.OleFileIO(sys.argv[1])
    streams = []
    for entry in ole.listdir(streams=True, storages=False):
        if len(entry) != 1 or not entry[0].startswith("\x05"):
            continue
        name = entry[0]
        data = ole.openstream(entry).read()
        sections = read_sections(data)
        item = {"name": name, "damaged": sections is None, "sections": sections or []}
        if sections is not None:
            props = ole.getproperties(entry, convert_time=False)
            item["olefile"] = {str(k): jsonable(v) for k, v in props.items()}
        streams.append(item)
    json.dump({"streams": streams}, sys.stdout)


if __name__ == "__main__":
    main()
