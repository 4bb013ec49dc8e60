#!/usr/bin/env python3
"""Checks that the documentation holds together: the README stays a front
page (under 300 lines), every page under docs/ is linked from it, and every
relative link of the README and the pages names a file that exists.

Usage: check_docs.py SOURCE_ROOT. Prints one line per fault and exits 1.
"""
import os
import re
import sys

LINK = re.compile(r"\]\(([^)#\s]+)(?:#[^)]*)?\)")
# Doxygen's main page of the API reference, not a page of the README.
NOT_LINKED = {"mainpage.md"}


def links(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    return [target for target in LINK.findall(text) if "://" not in target]


def main(root):
    faults = []
    readme = os.path.join(root, "README.md")
    with open(readme, encoding="utf-8") as f:
        lines = f.read().count("\n")
    if lines >= 300:
        faults.append("README.md: %d lines; the front page stays under 300" % lines)
    docs = os.path.join(root, "docs")
    pages = sorted(name for name in os.listdir(docs) if name.endswith(".md"))
    linked = {os.path.normpath(os.path.join(root, target)) for target in links(readme)}
    for name in pages:
        path = os.path.join(docs, name)
        if name not in NOT_LINKED and os.path.normpath(path) not in linked:
            faults.append("docs/%s: not linked from README.md" % name)
    for path in [readme] + [os.path.join(docs, name) for name in pages]:
        for target in links(path):
            if not os.path.exists(os.path.join(os.path.dirname(path), target)):
                faults.append("%s: links to %s, which does not exist"
                              % (os.path.relpath(path, root), target))
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
