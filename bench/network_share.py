#!/usr/bin/env python3
"""Reading a vault on a file server: the corpus copied N times into a scratch
folder, read by `compdoc read -r` on 1, 8 and 32 threads and by olefile (the
summary and document summary sets, in one process), each with every file call
on the documents delayed by a fixed round trip (bench/net_delay_shim.c,
preloaded). Reports documents per second and the file calls each document
cost; figures are reported, never asserted.

  bench/network_share.py [--build build/release] [--copies 2] [--delay-us 1000]
                         [--jobs 1,8,32] [--corpus DIR]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
EXTENSIONS = ("doc", "xls", "ppt", "pub", "dot", "vsd", "mpp")

OLEFILE_READER = r"""
import sys, olefile
for line in sys.stdin:
    try:
        ole = olefile.OleFileIO(line.rstrip("\n"))
        ole.get_metadata()
        ole.close()
    except Exception:
        pass
"""


def run(cmd, env, stdin_text=None):
    """Seconds taken and the calls the shim delayed."""
    start = time.perf_counter()
    done = subprocess.run(cmd, input=stdin_text, text=True, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, check=False)
    seconds = time.perf_counter() - start
    calls = sum(int(n) for n in re.findall(r"net_delay: (\d+) calls delayed", done.stderr))
    return seconds, calls


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(SOURCE, "build", "release"))
    ap.add_argument("--corpus", default=os.environ.get(
        "VELMORA_CORPUS", os.path.join(SOURCE, "..", "shared", "corpus")))
    ap.add_argument("--copies", type=int, default=2)
    ap.add_argument("--delay-us", type=int, default=1000)
    ap.add_argument("--jobs", default="1,8,32")
    args = ap.parse_args()

    compdoc = os.path.join(args.build, "compdoc")
    shim = os.path.join(args.build, "bench", "libnet_delay_shim.so")
    docs = os.path.join(args.corpus, "documents")
    for path, what in ((docs, "corpus"), (compdoc, "compdoc"), (shim, "shim")):
        if not os.path.exists(path):
            sys.exit("no %s at %s (cmake --preset release && cmake --build --preset release)"
                     % (what, path))
    scratch = tempfile.mkdtemp(prefix="velmora-share-")
    try:
        files = []
        for copy in range(args.copies):
            folder = os.path.join(scratch, "copy%03d" % copy)
            os.mkdir(folder)
            for name in sorted(os.listdir(docs)):
                if os.path.splitext(name)[1][1:].lower() in EXTENSIONS:
                    shutil.copyfile(os.path.join(docs, name), os.path.join(folder, name))
                    files.append(os.path.join(folder, name))
        env = dict(os.environ, LD_PRELOAD=shim, VELMORA_NET_PREFIX=scratch,
                   VELMORA_NET_DELAY_US=str(args.delay_us), VELMORA_NET_COUNT="1")
        readers = [("compdoc read -r -j %s" % j,
                    [compdoc, "read", "-r", "-q", "--json", "-j", j, scratch], None)
                   for j in args.jobs.split(",")]
        if shutil.which("python3"):
            readers.append(("olefile (one process)", ["/usr/bin/python3", "-c", OLEFILE_READER],
                            "\n".join(files) + "\n"))
        print("%d documents, every file call on them delayed %d us"
              % (len(files), args.delay_us))
        print("%-28s %12s %16s" % ("reader", "documents/s", "file calls/doc"))
        for label, cmd, stdin_text in readers:
            seconds, calls = run(cmd, env, stdin_text)
            print("%-28s %12.1f %16.1f" % (label, len(files) / seconds, calls / len(files)))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
