#!/usr/bin/env python3
"""compdoc relink --map over a tree of N linked documents (make_sample
--links, half word-processor documents, half spreadsheets, in folders of
500), with -j 1 and -j 2: the dry run, the run that rewrites every document,
and a second run that finds nothing left to do. Reports documents per
second; figures are reported, never asserted. Each rewriting run gets a
fresh copy of the tree; warm cache.

  bench/relink_tree.py [--build build/release] [--documents 10000]
"""
import argparse
import os
import shutil
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
MAP = r"C:\Parts=\\nas2\eng\parts"


def make_tree(build, root, documents):
    samples = {}
    for ext in ("doc", "xls"):
        samples[ext] = os.path.join(root, "sample." + ext)
        subprocess.run([os.path.join(build, "make_sample"), "--links", samples[ext]], check=True,
                       stdout=subprocess.DEVNULL)
    tree = os.path.join(root, "tree")
    for i in range(documents):
        folder = os.path.join(tree, "f%03d" % (i // 500))
        os.makedirs(folder, exist_ok=True)
        ext = "doc" if i % 2 == 0 else "xls"
        shutil.copyfile(samples[ext], os.path.join(folder, "d%05d.%s" % (i, ext)))
    return tree


def timed(build, tree, jobs, *extra):
    cmd = [os.path.join(build, "compdoc"), "relink", "-r", "-q", "-j", str(jobs), "--map", MAP,
           *extra, tree]
    start = time.perf_counter()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(SOURCE, "build", "release"))
    ap.add_argument("--documents", type=int, default=10000)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="velmora-relink-") as root:
        master = make_tree(args.build, root, args.documents)
        n = args.documents
        for jobs in (1, 2):
            timed(args.build, master, jobs, "--dry-run")  # warm the cache
            dry = timed(args.build, master, jobs, "--dry-run")
            work = os.path.join(root, "work%d" % jobs)
            shutil.copytree(master, work)
            run = timed(args.build, work, jobs)
            again = timed(args.build, work, jobs)
            print("-j %d: dry run %.0f documents/s, run %.0f documents/s, second run %.0f "
                  "documents/s" % (jobs, n / dry, n / run, n / again))
            shutil.rmtree(work)


if __name__ == "__main__":
    main()
