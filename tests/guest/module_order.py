#!/usr/bin/env python3
"""Puts the kernel modules that the named ones need, themselves included,
into OUT as plain .ko files, and prints their names one a line, each after
the modules it depends on: an order in which insmod loads them. The
dependencies are the ones each module names in its own 'depends=' entry,
which depmod reads to write modules.dep (the kernel packages ship none).
Dashes and underscores in module names are the same. Modules may come
compressed (.ko.xz, .ko.gz, .ko.zst, as newer kernels ship them); busybox's
insmod is given them plain. A module that the kernel has built in (TREE's
modules.builtin names it) is left out, and so are its dependencies, which
are then built in too.

    module_order.py TREE OUT NAME...

Exits 1, naming it, when a module is neither found under TREE nor built
in."""
import gzip
import lzma
import os
import re
import subprocess
import sys

SUFFIXES = (".ko", ".ko.xz", ".ko.gz", ".ko.zst")


def module_name(file):
    for s in SUFFIXES:
        if file.endswith(s):
            return file[:-len(s)].replace("-", "_")
    return None


def index(tree):
    found, builtin = {}, set()
    for folder, _, files in os.walk(tree):
        for f in files:
            if module_name(f):
                found[module_name(f)] = os.path.join(folder, f)
            elif f == "modules.builtin":
                with open(os.path.join(folder, f)) as lines:
                    builtin |= {module_name(os.path.basename(line.strip())) for line in lines}
    return found, builtin


def plain(path):
    if path.endswith(".xz"):
        return lzma.open(path).read()
    if path.endswith(".gz"):
        return gzip.open(path).read()
    if path.endswith(".zst"):
        return subprocess.run(["zstd", "-dc", path], check=True, stdout=subprocess.PIPE).stdout
    with open(path, "rb") as f:
        return f.read()


def depends(body):
    entry = re.search(rb"(?<=\0)depends=([^\0]*)\0", body)
    return [d for d in entry.group(1).decode().split(",") if d] if entry else []


def main():
    tree, out, names = sys.argv[1], sys.argv[2], sys.argv[3:]
    found, builtin = index(tree)
    order = []

    def visit(name):
        name = name.replace("-", "_")
        if name in order or name in builtin:
            return
        if name not in found:
            sys.exit(f"module {name} not found under {tree}")
        body = plain(found[name])
        for d in depends(body):
            visit(d)
        with open(os.path.join(out, name + ".ko"), "wb") as f:
            f.write(body)
        order.append(name)

    os.makedirs(out, exist_ok=True)
    for n in names:
        visit(n)
    print("\n".join(n + ".ko" for n in order))


if __name__ == "__main__":
    main()
