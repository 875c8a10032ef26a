#!/usr/bin/env python3
"""Checks the include graph between the tree's top-level folders.

Reads every `#include "folder/..."` line of the tree's C and C++ sources and reports
  - include cycles between folders (A includes B and B, directly or not, includes A), and
  - includes that go against the layer order in LAYERS below (a folder may include only the
    folders listed for it).
Prints each finding with the include lines behind it; exits 1 when there is any, 0 otherwise.

    scripts/check_layers.py [--root DIR]
"""

import argparse
import os
import re
import subprocess
import sys
from collections import defaultdict

# Which folders each folder may include, lowest layers last. "*" means any folder.
# `sim/` stands in for the Mac and the vendor: it may use anything, the program never uses it.
LAYERS = {
    "app": {"ui", "caching", "install", "base", "net", "plist", "platform", "platform/simmac"},
    "ui": {"base", "platform"},
    "caching": {"install", "base", "net", "plist", "platform"},
    "install": {"base", "platform"},
    "base": {"platform"},
    "net": {"platform"},
    "net/curl": {"net", "platform"},
    "plist": set(),
    "platform": set(),
    "platform/simmac": {"platform", "plist"},
    "sim": {"*"},
    "tests": {"*"},
    "bench": {"*"},
    "fuzz": {"*"},
}

# Folders inside a top-level folder that are layers of their own.
NESTED_LAYERS = ("platform/simmac", "net/curl")

SOURCE_SUFFIXES = (".cpp", ".cc", ".c", ".h", ".hpp")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(path):
    for nested in NESTED_LAYERS:
        if path == nested or path.startswith(nested + "/"):
            return nested
    return path.split("/", 1)[0] if "/" in path else None


def sources(root):
    try:
        listed = subprocess.run(["git", "-C", root, "ls-files"], check=True,
                                capture_output=True, text=True).stdout.splitlines()
    except (OSError, subprocess.CalledProcessError):
        listed = []
        for folder, dirs, files in os.walk(root):
            dirs[:] = [d for d in dirs if not d.startswith((".", "build"))]
            listed += [os.path.relpath(os.path.join(folder, f), root) for f in files]
    return sorted(p for p in listed
                  if p.endswith(SOURCE_SUFFIXES) and not p.startswith("fuzz/corpus/"))


def include_edges(root):
    """{(from_layer, to_layer): [(file, line_number, included), ...]} between different layers."""
    folders = {name for name in os.listdir(root) if os.path.isdir(os.path.join(root, name))}
    edges = defaultdict(list)
    for path in sources(root):
        source = layer_of(path)
        if source is None:
            continue
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as text:
            for number, line in enumerate(text, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                included = match.group(1)
                target = layer_of(included)
                if target is None or target.split("/", 1)[0] not in folders or target == source:
                    continue
                edges[(source, target)].append((path, number, included))
    return edges


def cycles(edges):
    """The folder groups that include each other (strongly connected, more than one folder)."""
    graph = defaultdict(set)
    for source, target in edges:
        graph[source].add(target)
    index, low, stack, on_stack, groups = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for nxt in sorted(graph[node]):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            group = set()
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.add(member)
                if member == node:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    for node in sorted(set(graph) | {t for ts in graph.values() for t in ts}):
        if node not in index:
            visit(node)
    return groups


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=os.path.join(os.path.dirname(__file__), ".."))
    root = os.path.abspath(parser.parse_args().root)
    edges = include_edges(root)
    findings = 0

    for group in cycles(edges):
        findings += 1
        print("include cycle between " + ", ".join(group) + ":")
        for (source, target), lines in sorted(edges.items()):
            if source in group and target in group:
                print(f"  {source} -> {target} ({len(lines)} includes), e.g.")
                for path, number, included in lines[:3]:
                    print(f"    {path}:{number}: #include \"{included}\"")

    for (source, target), lines in sorted(edges.items()):
        allowed = LAYERS.get(source)
        if allowed is None:
            findings += 1
            print(f"{source}/ is not in the layer table (it includes {target}/)")
            continue
        if "*" in allowed or target in allowed:
            continue
        findings += 1
        print(f"{source} -> {target} goes against the layer order ({len(lines)} includes):")
        for path, number, included in lines:
            print(f"    {path}:{number}: #include \"{included}\"")

    if findings:
        print(f"check_layers: {findings} finding(s)")
        return 1
    print("check_layers: no cycles, every include follows the layer order")
    return 0


if __name__ == "__main__":
    sys.exit(main())
