#!/usr/bin/env python3
"""compare.py CORPUS GOT.jsonl DIFFERENCES: compares what one `compdoc read
--json -H` batch read with the corpus's expected attributes the way the
corpus test does (record by record, uncertain records loosely). A record
listed for its document in DIFFERENCES is skipped with its reason; a
document listed with "*" is not in the batch (it stops the process under
Wine). Prints a line a document that differs and a summary; exit status 1
on any difference not listed."""
import json
import ntpath
import os
import sys


def lines(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        out = []
        for n, l in enumerate(f, 1):
            if not l.strip():
                continue
            try:
                out.append(json.loads(l))
            except json.JSONDecodeError as e:
                print("  %s:%d is not JSON: %s" % (path, n, e))
                sys.exit(1)
        return out


def key(r):
    return "%s:%s" % (r.get("block", ""), r.get("name", ""))


def number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def matches(want, got):
    if want.get("uncertain"):
        if number(want["value"]) and number(got["value"]):
            return abs(want["value"] - got["value"]) <= 1e-6 * max(1.0, abs(want["value"]))
        if want["type"] == "VT_DATE":
            return got["type"] == "VT_DATE"
    if want["type"] != got["type"]:
        return False
    if number(want["value"]) and number(got["value"]):
        return float(want["value"]) == float(got["value"])
    return want["value"] == got["value"]


def differences(path):
    skips = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            name, record, reason = line.rstrip("\n").split("\t", 2)
            skips.setdefault(name, {})[record] = reason
    return skips


def compare(want, got, skips):
    """The lines telling how `got` differs from `want`, skipped ones included."""
    out, failures = [], 0
    got_by_key = {}
    for r in got:
        got_by_key.setdefault(key(r), r)

    def skip_reason(k):
        return skips.get(k) or skips.get(k.split(":", 1)[0] + ":*")

    for w in want:
        k = key(w)
        g = got_by_key.pop(k, None)
        if g is not None and matches(w, g):
            continue
        if skip_reason(k):
            out.append("skipped %s: %s" % (k, skip_reason(k)))
            continue
        out.append("%s: want %s, got %s" % (k, json.dumps(w, ensure_ascii=False),
                                            json.dumps(g, ensure_ascii=False)))
        failures += 1
    for k, g in got_by_key.items():
        if skip_reason(k):
            out.append("skipped %s: %s" % (k, skip_reason(k)))
            continue
        out.append("%s: unexpected %s" % (k, json.dumps(g, ensure_ascii=False)))
        failures += 1
    order_want = [key(w) for w in want if not skip_reason(key(w))]
    order_got = [key(g) for g in got if not skip_reason(key(g))]
    if failures == 0 and order_want != order_got:
        out.append("the records arrive in another order")
        failures += 1
    return failures, out


def main():
    corpus, got_path, differences_path = sys.argv[1:4]
    skips = differences(differences_path)
    got = {}
    for r in lines(got_path):
        got.setdefault(ntpath.basename(r.pop("file", "")), []).append(r)
    docs = bad = skipped = whole = 0
    for name in sorted(os.listdir(os.path.join(corpus, "expected"))):
        doc = name[: -len(".jsonl")]
        docs += 1
        own = skips.get(doc, {})
        if "*" in own:
            whole += 1
            print("%s: not read: %s" % (doc, own["*"]))
            continue
        failures, out = compare(lines(os.path.join(corpus, "expected", name)), got.get(doc, []), own)
        if failures:
            bad += 1
            print("%s: FAIL" % doc)
        elif out:
            skipped += 1
        for line in out:
            if failures or line.startswith("skipped"):
                print("  %s: %s" % (doc, line))
    print("corpus: %d documents, %d differ, %d with recorded differences skipped, %d not read"
          % (docs, bad, skipped, whole))
    sys.exit(1 if bad else 0)


main()
