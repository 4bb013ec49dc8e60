#!/usr/bin/env python3
"""Doxygen's input filter for the installed headers.

The headers keep the house's plain `//` comments. For the API reference
this filter hands Doxygen the same text with those comments marked as
documentation; the header itself is not changed, and every line keeps its
number, so that Doxygen's warnings point at the header's own lines.

- The comment that opens a file describes the file (`\\file`, written on
  the blank line that ends the comment).
- A comment on its own lines documents the declaration below it. When
  several declarations follow it directly (up to the next blank line,
  comment, closing brace, destructor or defaulted or deleted member), none
  opening a body or carrying a comment of its own, the comment documents
  each of them: they become a Doxygen member group (`/**@{*/` before the
  first, `/**@}*/` after the last, on their lines), and
  DISTRIBUTE_GROUP_DOC hands the comment to every member.
- A comment after code on the same line documents that member (`///<`).
- Comment lines whose text is indented (three spaces or more after `//`:
  examples) become code blocks.

Usage: doxygen_filter.py FILE
"""

import re
import sys

TRAILING = re.compile(r"([;,{]\s+)// ")
# Destructors and defaulted or deleted members: boilerplate that the comment
# above a constructor does not speak of; they end a group.
SPECIAL_MEMBER = re.compile(r"~\w+\s*\(|=\s*(delete|default)\s*;")


def trailing_comment(line):
    """The match of a `// ` comment after code, outside string literals."""
    for match in TRAILING.finditer(line):
        if line.count('"', 0, match.start()) % 2 == 0:
            return match
    return None


def code_of(line):
    """The line without its trailing comment, right-stripped."""
    match = trailing_comment(line)
    return (line[:match.start(1) + 1] if match else line).rstrip()


def doc_comment(lines):
    """`//` comment lines as `///` lines; examples (indented text) as code."""
    out = []
    for line in lines:
        indent, text = line.split("//", 1)
        if text.startswith("   "):
            text = "  " + text  # four spaces beyond the text: a Markdown code block
        out.append(indent + "///" + text)
    return out


def group_end(lines, start):
    """The end of a run of two or more plain declarations at `start`, or None."""
    end = start
    statements = 0
    while end < len(lines):
        stripped = lines[end].strip()
        if (not stripped or stripped.startswith(("//", "}")) or
                SPECIAL_MEMBER.search(stripped)):
            break  # a blank line, a comment, the end of the class, boilerplate
        code = code_of(lines[end])
        if stripped.startswith("#") or code != lines[end].rstrip():
            return None  # preprocessor lines, or members documented one by one
        if code.count("{") != code.count("}"):
            return None  # a class, enum or function body: not a list of members
        if code.endswith(";") or code.endswith("}"):
            statements += 1
        end += 1
    return end if statements >= 2 and code_of(lines[end - 1]).endswith((";", "}")) else None


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        lines = f.read().split("\n")
    out = []
    i = 0
    # The file's opening comment.
    while i < len(lines) and lines[i].lstrip().startswith("//"):
        i += 1
    if i:
        out += doc_comment(lines[:i])
        if i < len(lines) and not lines[i].strip():
            out.append("/// \\file")
            i += 1
        else:
            out[-1] += " \\file"
    while i < len(lines):
        line = lines[i]
        if line.lstrip().startswith("//"):
            first = i
            while i < len(lines) and lines[i].lstrip().startswith("//"):
                i += 1
            out += doc_comment(lines[first:i])
            end = group_end(lines, i)
            if end is not None:
                group = lines[i:end]
                group[0] = "/**@{*/ " + group[0]
                group[-1] += " /**@}*/"
                out += group
                i = end
            continue
        match = trailing_comment(line)
        if match:
            line = line[:match.start()] + match.group(1) + "///< " + line[match.end():]
        out.append(line)
        i += 1
    sys.stdout.write("\n".join(out))


if __name__ == "__main__":
    main()
