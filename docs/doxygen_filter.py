#!/usr/bin/env python3
"""Doxygen's input filter for the installed headers.

The headers keep the house's plain `//` comments. For the API reference
this filter hands Doxygen the same text with those comments marked as
documentation: the comment that opens a file describes the file (`\\file`),
a comment on its own lines documents the declaration below it, and a
comment after code on the same line documents that member (`///<`).
The header itself is not changed. Usage: doxygen_filter.py FILE
"""

import re
import sys


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        lines = f.read().split("\n")
    out = []
    in_file_comment = True
    for line in lines:
        stripped = line.lstrip()
        if in_file_comment:
            if stripped.startswith("//"):
                text = stripped[2:]
                if not out:
                    out.append("/// \\file")
                out.append("///" + text)
                continue
            in_file_comment = False
            if out:
                out.append("")  # ends the file's comment
        if stripped.startswith("//"):
            out.append(line.replace("//", "///", 1))
        elif re.search(r"[;,{]\s+// ", line) and '"' not in line:
            out.append(re.sub(r"([;,{]\s+)// ", r"\1///< ", line, count=1))
        else:
            out.append(line)
    sys.stdout.write("\n".join(out))


if __name__ == "__main__":
    main()
