#!/usr/bin/env python3
"""Fails when the quoted includes of src/ form a cycle, between files or
between the subsystem folders (diff, transport, device, exports, platform).

A folder cycle means two layers each build on the other, so neither can be
understood, tested or replaced alone; the library keeps them in one order.
Prints the folder graph, then either "no cycle" or each cycle it found.
Usage: check-include-cycles.py [SRC_DIR]
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def include_graph(src):
    """File (relative to src) -> the files under src it includes."""
    graph = {}
    for folder, _, names in os.walk(src):
        for name in names:
            if not name.endswith((".h", ".cpp")):
                continue
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, src)
            with open(path, encoding="utf-8") as f:
                wanted = INCLUDE.findall(f.read())
            graph[rel] = {w for w in wanted if os.path.isfile(os.path.join(src, w))}
    return graph


def layer(rel):
    """The subsystem folder of a file: its first path component."""
    return rel.split(os.sep)[0]


def cycles(graph):
    """Every cycle that a depth-first walk meets, each as a list of nodes."""
    found, state, stack = [], {}, []

    def walk(node):
        state[node] = "open"
        stack.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == "open":
                found.append(stack[stack.index(nxt):] + [nxt])
            elif nxt not in state:
                walk(nxt)
        stack.pop()
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            walk(node)
    return found


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "src")
    files = include_graph(src)
    layers = {}
    for rel, wanted in files.items():
        layers.setdefault(layer(rel), set()).update(layer(w) for w in wanted if layer(w) != layer(rel))
    for name in sorted(layers):
        print(f"{name} -> {', '.join(sorted(layers[name])) or '(nothing)'}")
    bad = [("files", c) for c in cycles(files)] + [("folders", c) for c in cycles(layers)]
    for kind, cycle in bad:
        print(f"cycle between {kind}: {' -> '.join(cycle)}")
    if bad:
        return 1
    print(f"no cycle ({len(files)} files, {len(layers)} folders)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
