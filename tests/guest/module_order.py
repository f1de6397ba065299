#!/usr/bin/env python3
"""Prints the kernel modules that the named ones need, themselves included,
one path a line, each after the modules it depends on: an order in which
insmod loads them. The dependencies are the ones each module names in its
own 'depends=' entry, which depmod reads to write modules.dep (the kernel
package ships none). Dashes and underscores in module names are the same.

    module_order.py TREE NAME...

Exits 1, naming it, when a module is not found under TREE."""
import os
import re
import sys


def index(tree):
    found = {}
    for folder, _, files in os.walk(tree):
        for f in files:
            if f.endswith(".ko"):
                found[f[:-3].replace("-", "_")] = os.path.join(folder, f)
    return found


def depends(path):
    with open(path, "rb") as f:
        entry = re.search(rb"(?<=\0)depends=([^\0]*)\0", f.read())
    return [d for d in entry.group(1).decode().split(",") if d] if entry else []


def main():
    tree, names = sys.argv[1], sys.argv[2:]
    found = index(tree)
    order = []

    def visit(name):
        name = name.replace("-", "_")
        if name not in found:
            sys.exit(f"module {name} not found under {tree}")
        if found[name] in order:
            return
        for d in depends(found[name]):
            visit(d)
        order.append(found[name])

    for n in names:
        visit(n)
    print("\n".join(order))


if __name__ == "__main__":
    main()
