#!/usr/bin/python3
"""The peer reader for compdoc's tests: olefile's view of a compound file.

  olefile_peer.py ls FILE          one JSON object a line: path, type, size
                                   (root as path ""), sorted by path
  olefile_peer.py cat FILE PATH    the stream's bytes; "\\xNN" in PATH stands
                                   for a control character
  olefile_peer.py dump FILE        one JSON object: every stream's bytes in
                                   hex by path
Exit 3 when olefile is missing, 1 when it cannot read the file.
"""
import json
import re
import sys

try:
    import olefile
except ImportError:
    sys.exit(3)


def unescape(part):
    return re.sub(r"\\x([0-9A-Fa-f]{2})", lambda m: chr(int(m.group(1), 16)), part)


def main():
    mode, path = sys.argv[1], sys.argv[2]
    try:
        ole = olefile.OleFileIO(path)
    except Exception as exc:  # olefile raises many kinds
        print(f"olefile: {exc}", file=sys.stderr)
        return 1
    if mode == "ls":
        rows = [{"path": "", "type": "storage", "size": 0}]
        for entry in ole.listdir(streams=True, storages=True):
            name = "/".join(entry)
            kind = ole.get_type(entry)
            is_storage = kind == olefile.STGTY_STORAGE
            size = 0 if is_storage else ole.get_size(entry)
            rows.append({"path": name, "type": "storage" if is_storage else "stream", "size": size})
        for row in sorted(rows, key=lambda r: r["path"]):
            print(json.dumps(row, sort_keys=True))
        return 0
    if mode == "dump":
        dump = {"/".join(e): ole.openstream(e).read().hex()
                for e in ole.listdir(streams=True, storages=False)}
        print(json.dumps(dump))
        return 0
    parts = [unescape(p) for p in sys.argv[3].split("/")]
    sys.stdout.buffer.write(ole.openstream(parts).read())
    return 0


if __name__ == "__main__":
    sys.exit(main())
