#!/usr/bin/python3
"""An independent view of a document's links: olefile opens the link
storages ("ObjectPool/*" of a word-processor document, root storages named
"LNK*" of a spreadsheet), and each "\\1Ole" stream's absolute moniker is read
here from the published layouts ([MS-OLEDS] 2.3.3, [MS-OSHARED] 2.3.7).

  link_peer.py FILE

Prints one JSON object: {STORAGE: SOURCE} for every link with an absolute
moniker, STORAGE the "/"-joined path. Exit 3 when olefile is missing.
"""
import json
import struct
import sys

try:
    import olefile
except ImportError:
    sys.exit(3)

FILE, ITEM, ANTI, COMPOSITE = (bytes.fromhex(h) for h in (
    "0303000000000000c000000000000046", "0403000000000000c000000000000046",
    "0503000000000000c000000000000046", "0903000000000000c000000000000046"))


def moniker(data, at):
    """(display name, offset after the moniker)."""
    clsid, at = data[at:at + 16], at + 16
    if clsid == FILE:
        anti, length = struct.unpack_from("<HI", data, at)
        at += 6
        path = data[at:at + length].split(b"\0")[0].decode("cp1252")
        at += length + 2 + 2 + 16 + 4
        size = struct.unpack_from("<I", data, at)[0]
        at += 4
        end = at + size
        while at < end:
            cb, key = struct.unpack_from("<IH", data, at)
            if key == 3:
                path = data[at + 6:at + 6 + cb].decode("utf-16-le").split("\0")[0]
            at += 6 + cb
        steps = "\\".join([".."] * anti)
        if anti and path and not path.startswith("\\"):
            steps += "\\"
        return steps + path, at
    if clsid == ITEM:
        texts = []
        for _ in range(2):
            length = struct.unpack_from("<I", data, at)[0]
            block = data[at + 4:at + 4 + length]
            ansi, _, wide = block.partition(b"\0")
            texts.append(wide.decode("utf-16-le") if wide else ansi.decode("cp1252"))
            at += 4 + length
        return texts[0] + texts[1], at
    if clsid == ANTI:
        return "\\.." * struct.unpack_from("<I", data, at)[0], at + 4
    if clsid == COMPOSITE:
        count = struct.unpack_from("<I", data, at)[0]
        at += 4
        name = ""
        for _ in range(count):
            part, at = moniker(data, at)
            name += part
        return name, at
    raise ValueError("moniker class %s" % clsid.hex())


def source(ole_stream):
    flags = struct.unpack_from("<I", ole_stream, 4)[0]
    if not flags & 1:
        return None
    at = 16
    for absolute in (False, False, True):  # reserved, relative, absolute
        size = struct.unpack_from("<I", ole_stream, at)[0]
        if absolute:
            return moniker(ole_stream, at + 4)[0] if size else None
        at += 4 + (size - 4 if size else 0)
    return None


def main(path):
    ole = olefile.OleFileIO(path)
    links = {}
    for entry in ole.listdir(streams=True, storages=False):
        if entry[-1] != "\x01Ole" or len(entry) < 2:
            continue
        owner = entry[:-1]
        if not (owner[0] == "ObjectPool" and len(owner) == 2 or
                len(owner) == 1 and owner[0].startswith("LNK")):
            continue
        name = source(ole.openstream(entry).read())
        if name is not None:
            links["/".join(owner)] = name
    print(json.dumps(links, ensure_ascii=False, sort_keys=True))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
