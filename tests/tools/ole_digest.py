#!/usr/bin/python3
"""Prints, as one JSON object, what olefile (an independent reader) sees in a
compound document: a SHA-1 of every stream by path, and the summary
metadata the tests compare."""
import hashlib
import json
import sys

import olefile


def text(value):
    if isinstance(value, bytes):
        return value.decode("cp1252", errors="replace")
    return value


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
