#!/usr/bin/env python3
"""The folders of the product code and how they include each other.

Every folder of common/, uninstaller/ and pluginhost/ is a layer. The check fails when
- folders include each other in a cycle (a folder reaches itself through the includes of its files), or
- another folder includes any header of a folder but that folder's one header (the way in): only the
  files of a folder itself may include its other headers.
Tests may reach inside a folder; they are not checked. Prints the folder graph with --graph.
"""
import os
import re
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
PROGRAMS = ("common", "uninstaller", "pluginhost")
# Folders of small independent helpers, each header its own way in.
OPEN_FOLDERS = {"common/support"}
# Headers included by files that are not C++ (resource scripts), which the check does not read.
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(path):
    parts = os.path.relpath(path, ROOT).split(os.sep)
    return "/".join(parts[:2]) if len(parts) > 2 else parts[0]


def resolve(including_file, name):
    """The file an include names, searched as the compiler does: beside the file, then the program's
    own folder, then common/. None for generated or system headers."""
    program = os.path.relpath(including_file, ROOT).split(os.sep)[0]
    for base in (os.path.dirname(including_file), os.path.join(ROOT, program), os.path.join(ROOT, "common")):
        candidate = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(candidate):
            return candidate
    return None


def main():
    edges = {}
    ways_in = {}
    for program in PROGRAMS:
        for directory, _, files in os.walk(os.path.join(ROOT, program)):
            for file in files:
                if not file.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(directory, file)
                source = folder_of(path)
                edges.setdefault(source, set())
                with open(path, encoding="utf-8") as text:
                    for name in INCLUDE.findall(text.read()):
                        target_file = resolve(path, name)
                        if not target_file:
                            continue
                        target = folder_of(target_file)
                        if target == source:
                            continue
                        edges[source].add(target)
                        header = os.path.relpath(target_file, ROOT)
                        ways_in.setdefault(target, {}).setdefault(header, set()).add(
                            os.path.relpath(path, ROOT))

    faults = []
    for folder, headers in sorted(ways_in.items()):
        if folder in OPEN_FOLDERS or len(headers) <= 1:
            continue
        for header, users in sorted(headers.items()):
            faults.append(f"{folder}: entered through {header} by {', '.join(sorted(users))}")

    # Cycles: strongly connected components of more than one folder.
    index, low, stack, on_stack, components = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for successor in sorted(edges.get(node, ())):
            if successor not in index:
                visit(successor)
                low[node] = min(low[node], low[successor])
            elif successor in on_stack:
                low[node] = min(low[node], index[successor])
        if low[node] == index[node]:
            component = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                component.append(member)
                if member == node:
                    break
            if len(component) > 1:
                components.append(sorted(component))

    for node in sorted(edges):
        if node not in index:
            visit(node)
    for component in components:
        faults.append("include cycle between " + ", ".join(component))

    if "--graph" in sys.argv:
        for folder in sorted(edges):
            print(f"{folder} -> {', '.join(sorted(edges[folder])) or '(nothing)'}")
    for fault in faults:
        print("check-layers: " + fault, file=sys.stderr)
    if not faults:
        print(f"check-layers: {len(edges)} folders, no include cycle, every folder entered through one header")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
