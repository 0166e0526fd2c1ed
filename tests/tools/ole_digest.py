#!/usr/bin/python3
"""Prints, as one JSON object, what olefile (an independent reader) sees in a
compound document: a SHA-1 of every stream by path, and the summary
metadata the tests compare."""
import hashlib
import json
import sys

import olefile


def text(value):
    # olefile keeps the terminating NUL of wide strings; the format counts it
    # in the length, so it is no part of the value.
    if isinstance(value, bytes):
        value = value.decode("cp1252", errors="replace")
    return value.rstrip("\x00") if isinstance(value, str) else value


def main(path):
    ole = olefile.OleFileIO(path)
    streams = {}
    for entry in ole.listdir(streams=True, storages=False):
        name = "/".join(entry)
        streams[name] = hashlib.sha1(ole.openstream(entry).read()).hexdigest()
    meta = ole.get_metadata()
    out = {
        "streams": streams,
        "title": text(meta.title),
        "company": text(meta.company),
        "author": text(meta.author),
    }
    ole.close()
    print(json.dumps(out))


if __name__ == "__main__":
    main(sys.argv[1])
