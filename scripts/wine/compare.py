#!/usr/bin/env python3
"""compare.py EXPECTED.jsonl GOT.jsonl DOC DIFFERENCES: compares what compdoc
read with the expected attributes the way the corpus test does (record by
record, uncertain records loosely); a record listed for DOC in DIFFERENCES is
skipped with its reason. Exit status 1 on any other difference."""
import json
import sys


def lines(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        try:
            return [json.loads(l) for l in f if l.strip()]
        except json.JSONDecodeError as e:
            print("  %s is not JSON lines: %s" % (path, e))
            sys.exit(1)


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


expected_path, got_path, doc, differences_path = sys.argv[1:5]
skips = {}
with open(differences_path, encoding="utf-8") as f:
    for line in f:
        if line.startswith("#") or not line.strip():
            continue
        name, record, reason = line.rstrip("\n").split("\t", 2)
        if name == doc:
            skips[record] = reason
if "*" in skips:
    print("  skipped: %s" % skips["*"])
    sys.exit(0)
want, got = lines(expected_path), lines(got_path)
# Records are matched by key so that one skipped record does not shift the rest.
got_by_key = {}
for r in got:
    got_by_key.setdefault(key(r), r)


def skip_reason(k):
    block = k.split(":", 1)[0]
    return skips.get(k) or skips.get(block + ":*")


failures = 0
for w in want:
    k = key(w)
    g = got_by_key.pop(k, None)
    if g is not None and matches(w, g):
        continue
    if skip_reason(k):
        print("  skipped %s: %s" % (k, skip_reason(k)))
        continue
    print("  %s: want %s, got %s" % (k, json.dumps(w, ensure_ascii=False),
                                     json.dumps(g, ensure_ascii=False)))
    failures += 1
for k, g in got_by_key.items():
    if skip_reason(k):
        print("  skipped %s: %s" % (k, skip_reason(k)))
        continue
    print("  %s: unexpected %s" % (k, json.dumps(g, ensure_ascii=False)))
    failures += 1
order_want = [key(w) for w in want if not skip_reason(key(w))]
order_got = [key(g) for g in got if not skip_reason(key(g))]
if failures == 0 and order_want != order_got:
    print("  the records arrive in another order")
    failures += 1
sys.exit(1 if failures else 0)
