#!/usr/bin/env python3
"""compdoc read -r -j 2 over the corpus copied N times into a scratch folder,
against peer readers of the same files in the same run: olefile (summary and
document summary sets, in one process), gsf (directory listing, one process
for all files), exiftool (one process, recursive) and olecfinfo (one process
per file, as the tool takes one file). Reports documents per second and bytes
read per document (the kernel's rchar of the reaped process); figures are
reported, never asserted. Warm cache: every reader runs once before it is
timed.

  bench/batch_vs_peers.py [--compdoc build/release/compdoc] [--copies 100]
                          [--corpus DIR] [--jobs 2] [--runs 3]
                          [--readers compdoc,olefile,gsf,exiftool,olecfinfo]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)

OLEFILE_READER = r"""
import sys, olefile
n = 0
for line in sys.stdin:
    path = line.rstrip("\n")
    try:
        ole = olefile.OleFileIO(path)
        ole.get_metadata()
        ole.close()
        n += 1
    except Exception:
        pass
print(n)
"""


def rchar():
    with open("/proc/self/io") as f:
        for line in f:
            if line.startswith("rchar:"):
                return int(line.split()[1])
    return 0


def timed(cmd, stdin_text=None):
    """Seconds and bytes read by `cmd` (and the children it reaps)."""
    before = rchar()
    start = time.perf_counter()
    subprocess.run(cmd, input=stdin_text, text=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    seconds = time.perf_counter() - start
    return seconds, rchar() - before


def per_file(tool, files):
    """One process per file, in one timed harness process."""
    script = "for f in \"$@\"; do %s \"$f\" >/dev/null 2>&1; done" % tool
    return ["bash", "-c", script, "bash"] + files


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--compdoc", default=os.path.join(SOURCE, "build", "release", "compdoc"))
    ap.add_argument("--corpus", default=os.environ.get(
        "VELMORA_CORPUS", os.path.join(SOURCE, "..", "shared", "corpus")))
    ap.add_argument("--copies", type=int, default=100)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--olecf-copies", type=int, default=10,
                    help="copies olecfinfo reads (a process per file is slow)")
    ap.add_argument("--readers", default="compdoc,olefile,gsf,exiftool,olecfinfo",
                    help="which readers to time, comma-separated")
    args = ap.parse_args()
    wanted = set(args.readers.split(","))

    docs = os.path.join(args.corpus, "documents")
    if not os.path.isdir(docs):
        sys.exit("no corpus at %s" % docs)
    if not os.access(args.compdoc, os.X_OK):
        sys.exit("no compdoc at %s (cmake --build --preset release)" % args.compdoc)
    names = sorted(os.listdir(docs))
    scratch = tempfile.mkdtemp(prefix="velmora-batch-bench-")
    try:
        files = []
        for copy in range(args.copies):
            folder = os.path.join(scratch, "copy%03d" % copy)
            os.mkdir(folder)
            for name in names:
                target = os.path.join(folder, name)
                shutil.copyfile(os.path.join(docs, name), target)
                files.append(target)
        # compdoc -r takes the plug-in's extensions only; the peers get the same files.
        listed = [f for f in files if os.path.splitext(f)[1][1:].lower() in
                  ("doc", "xls", "ppt", "pub", "dot", "vsd", "mpp")]
        file_list = "\n".join(listed) + "\n"
        few = [f for f in listed if int(os.path.basename(os.path.dirname(f))[4:]) <
               args.olecf_copies]

        readers = [
            ("compdoc read -r -j %d" % args.jobs,
             [args.compdoc, "read", "-r", "-q", "--json", "-j", str(args.jobs), scratch], None,
             len(listed)),
            ("compdoc read -r -j 1",
             [args.compdoc, "read", "-r", "-q", "--json", "-j", "1", scratch], None, len(listed)),
        ]
        if shutil.which("python3"):
            readers.append(("olefile (one process)", ["/usr/bin/python3", "-c", OLEFILE_READER],
                            file_list, len(listed)))
        if shutil.which("gsf"):
            # gsf stops at the first file it cannot open: it gets the compound ones.
            def compound(path):
                with open(path, "rb") as f:
                    return f.read(8) == b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"
            good = [f for f in listed if compound(f)]
            readers.append(("gsf list (one process, compound files)", ["gsf", "list"] + good, None,
                            len(good)))
        if shutil.which("exiftool"):
            readers.append(("exiftool -r (one process)",
                            ["exiftool", "-q", "-q", "-j", "-r", "-ext", "doc", "-ext", "xls",
                             "-ext", "ppt", "-ext", "pub", "-ext", "dot", "-ext", "vsd", "-ext",
                             "mpp", scratch], None, len(listed)))
        if shutil.which("olecfinfo"):
            readers.append(("olecfinfo (a process per file, %d copies)" % args.olecf_copies,
                            per_file("olecfinfo", few), None, len(few)))

        readers = [r for r in readers if r[0].split()[0] in wanted]
        print("%d documents (the corpus's %d of the plug-in's extensions x %d), %d runs, median"
              % (len(listed), len(listed) // args.copies, args.copies, args.runs))
        print("%-44s %12s %16s" % ("reader", "documents/s", "bytes read/doc"))
        results = {}
        for label, cmd, stdin_text, count in readers:
            timed(cmd, stdin_text)  # warm the cache and the program
            runs = sorted(timed(cmd, stdin_text) for _ in range(args.runs))
            seconds, read = runs[len(runs) // 2]
            results[label] = count / seconds
            print("%-44s %12.0f %16.0f" % (label, count / seconds, read / count))
        ours = results.get("compdoc read -r -j %d" % args.jobs)
        peer = results.get("olefile (one process)")
        if ours and peer:
            print("compdoc -j %d / olefile: %.1fx" % (args.jobs, ours / peer))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
