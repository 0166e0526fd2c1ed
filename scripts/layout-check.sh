#!/usr/bin/env bash
# The shape of the tree: which rooms may include which, and the host
# records' 32-bit layouts.
set -euo pipefail
cd "$(dirname "$0")/.."

# Rooms and the rooms each may include. A room is a top folder of the
# plug-in or a folder of platform/; module/lock_count and module/velmora_lib
# are the module's leaf, which the rooms whose objects count the library's
# locks use. The platform's rooms point downwards as platform/CMakeLists.txt
# declares them; the plug-in reaches the platform only through its public
# headers (platform/include). tools/compdoc is a host: it reaches the
# plug-in through host/ and, of the module's leaf, only the header of its
# type library (module/velmora_lib.h: the class and interface ids a client
# of the registered type library has), and the platform through its public
# headers; only its Linux-only administration commands, like the system's
# own tools on Windows, use the platform's rooms (FILE_EDGES). Any edge not
# listed, and any cycle, fails.
python3 - <<'PY'
import os, re, sys

ALLOWED = {
    "module": {"module-leaf", "format", "navigator", "host"},
    "format": {"navigator", "module-leaf", "host"},
    "navigator": {"propstore", "storage", "values", "module-leaf", "host"},
    "propstore": {"storage", "values", "host"},
    "values": {"host"},
    "storage": set(),
    "module-leaf": {"host"},
    "host": set(),
    "tools/compdoc": {"host", "module-leaf"},
    "platform/base": set(),
    "platform/registry": {"platform/base"},
    "platform/com": {"platform/base"},
    "platform/text": {"platform/base", "platform/com"},
    "platform/time": {"platform/base", "platform/com"},
    "platform/activation": {"platform/base", "platform/registry", "platform/text"},
    "platform/registrar": {"platform/base", "platform/com", "platform/activation", "platform/registry",
                           "platform/text"},
    "platform/oleauto": {"platform/base", "platform/com", "platform/text", "platform/time"},
    "platform/typelib": {"platform/base", "platform/com", "platform/oleauto", "platform/activation",
                         "platform/registry", "platform/text"},
    "platform/cfb": {"platform/base", "platform/com", "platform/text", "platform/time"},
    "platform/propset": {"platform/base", "platform/com", "platform/cfb", "platform/oleauto",
                         "platform/text", "platform/time"},
    "platform/link": {"platform/base", "platform/com", "platform/cfb", "platform/text",
                      "platform/propset"},
}
# A room's edge that only these headers may carry.
EDGE_FILES = {("tools/compdoc", "module-leaf"): {"module/velmora_lib.h"}}
# Files that may go where their room may not: `check` surveys documents with
# the platform's own engine and parser, `register` and `registry` use the
# registry room's transactions. None of them is in compdoc.exe.
FILE_EDGES = {
    "tools/compdoc/cmd_check.cpp": {"platform/cfb", "platform/propset"},
    "tools/compdoc/cmd_register.cpp": {"platform/registrar", "platform/registry"},
    "tools/compdoc/cmd_registry.cpp": {"platform/registry"},
}
PLUGIN = {"module", "format", "navigator", "propstore", "values", "storage", "module-leaf"}

def room(path):
    parts = path.split("/")
    if parts[0] == "platform":
        return "platform/" + parts[1] if len(parts) > 2 else None
    if parts[:2] == ["tools", "compdoc"]:
        return "tools/compdoc"
    if parts[0] == "module" and os.path.splitext(parts[-1])[0] in ("lock_count", "velmora_lib"):
        return "module-leaf"
    return parts[0] if parts[0] in ALLOWED else None

def resolve(name, source):
    for base in ("", "platform/", os.path.dirname(source) + "/"):
        if os.path.isfile(base + name):
            return os.path.normpath(base + name)
    return None

include = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
edges, bad = {}, []
for top in [r for r in ALLOWED if "/" not in r] + ["platform", "tools/compdoc"]:
    if not os.path.isdir(top):
        continue
    for dirpath, _, files in os.walk(top):
        for f in files:
            if not f.endswith((".h", ".cpp", ".c")):
                continue
            path = os.path.join(dirpath, f)
            src = room(path)
            if src is None:
                continue
            for name in include.findall(open(path, encoding="utf-8", errors="replace").read()):
                target = resolve(name, path)
                dst = room(target) if target else None
                if dst is None or dst == src:
                    continue
                edges.setdefault(src, set()).add(dst)
                if dst not in ALLOWED.get(src, set()) | FILE_EDGES.get(path, set()):
                    bad.append(f"{path}: {src} may not include {dst} ({name})")
                elif target not in EDGE_FILES.get((src, dst), {target}):
                    bad.append(f"{path}: {src} may include of {dst} only "
                               f"{', '.join(sorted(EDGE_FILES[(src, dst)]))} ({name})")

# compdoc.exe, built against the real system, has none of those files.
windows = open("tools/compdoc/windows.cmake", encoding="utf-8").read()
for path in FILE_EDGES:
    if "/" + os.path.basename(path) in windows:
        bad.append(f"{path}: uses the platform's rooms, so it cannot be in compdoc.exe")

# No cycle between rooms, whatever the table says.
state, cycle = {}, []
def visit(node, trail):
    state[node] = 1
    for nxt in sorted(edges.get(node, ())):
        if state.get(nxt) == 1:
            cycle.append(" -> ".join(trail[trail.index(nxt):] + [nxt]) if nxt in trail else nxt)
        elif not state.get(nxt):
            visit(nxt, trail + [nxt])
    state[node] = 2
for node in sorted(edges):
    if not state.get(node):
        visit(node, [node])

for line in bad:
    print("layout-check:", line)
for c in cycle:
    print("layout-check: include cycle", c)
if bad or cycle:
    sys.exit(1)
print(f"layout-check: {sum(len(v) for v in edges.values())} edges between "
      f"{len(set(edges) | {d for v in edges.values() for d in v})} rooms, as allowed, no cycle")
PY

g++ -m32 -std=c++20 -fsyntax-only -Werror -Iplatform/include -I. tests/host/record_layout_check.cpp
echo "layout-check: 32-bit host record layouts hold"
