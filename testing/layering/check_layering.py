#!/usr/bin/env python3
"""Checks who may use whom in the source tree.

The rules are the "May use" column of the README's layout table: a row names
a folder (`system/`) and the folders its code may include and link. This
check reads every C and C++ source (its `#include "..."` lines) and every
CMake file (the targets it links or adds sources to, the files it names by
path) and prints one line per breach, naming the file, the line and the
rule; the exit status is 1 when there is any.

What every folder may use besides its row: the platform's contracts, that is
headers included by the vendor root's paths (cmake/TalonPlatform.cmake's
`talon_platform_headers_*`) and the platform targets
(`talon_platform_libraries`), and what is not ours (system and package
headers, imported targets). Tests (`*_test.*` files, `python/tests/`, the
targets of `talon_add_test`) may use anything.

Usage: check_layering.py [SOURCE_ROOT]
"""

import os
import re
import sys

SOURCE_SUFFIXES = (".h", ".cc", ".cpp", ".c")
SKIPPED_DIRS = {".git", ".ci", "scripts"}
# Build glue at the top (CMakeLists.txt, cmake/) defines libtalon itself and
# the interface targets every target links; it is not a layer.
GLUE_FILES = {"CMakeLists.txt"}
GLUE_DIRS = {"cmake"}
# Targets defined by the top-level glue, by the layer they belong to.
GLUE_TARGETS = {"talon": "system/", "talon_static": "system/"}
# Interface targets every target links, and the object library that the
# folders of libtalon (base/, system/) add their sources to.
COMMON_TARGETS = {"talon_includes", "talon_warnings", "talon_obj"}
TEST_CALLS = {"talon_add_test", "add_test", "gtest_discover_tests"}
# Calls that test for, order or run a target without using its code: a
# benchmark may run a built tool.
RUN_ONLY_CALLS = {"add_dependencies", "if", "elseif"}
TARGET_DEFINING_CALLS = {"add_library", "add_executable", "pybind11_add_module"}


def is_test_file(path):
    name = os.path.basename(path)
    return "_test." in name or path.startswith("python/tests/")


def read_rules(root):
    """{folder: [folders it may use]} from the README's layout table."""
    rules = {}
    with open(os.path.join(root, "README.md"), encoding="utf-8") as readme:
        lines = readme.read().splitlines()
    header = None
    for line in lines:
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if header is None:
            if line.startswith("|") and "May use" in cells:
                header = cells
            continue
        if not line.startswith("|"):
            break
        if set(line) <= set("|-: "):
            continue
        row = dict(zip(header, cells))
        folders = re.findall(r"`([\w./-]+/)`", row.get("Directory", ""))
        if len(folders) != 1:
            continue  # the tests' row: they may use anything
        rules[folders[0]] = re.findall(r"`([\w./-]+/)`", row["May use"])
    if not rules:
        sys.exit("check_layering: no layout table with a 'May use' column in README.md")
    return rules


def read_platform_contracts(root):
    """The platform targets and the top folders of their headers."""
    path = os.path.join(root, "cmake", "TalonPlatform.cmake")
    with open(path, encoding="utf-8") as f:
        text = f.read()
    targets = set(re.search(r"set\(talon_platform_libraries ([^)]*)\)", text).group(1).split())
    headers = re.findall(r"set\(talon_platform_headers_\w+ ([^)]*)\)", text)
    header_dirs = {h.split("/")[0] for group in headers for h in group.split()}
    return targets, header_dirs


class Layers:
    def __init__(self, root):
        self.rules = read_rules(root)
        self.top_dirs = {f.split("/")[0] for f in self.rules}

    def layer_of(self, path):
        """The rule's folder that `path` lies in (the longest match)."""
        best = None
        for folder in self.rules:
            if path.startswith(folder) and (best is None or len(folder) > len(best)):
                best = folder
        return best

    def allowed(self, user, used_path):
        """A folder may use itself and what its row names."""
        return any(used_path.startswith(f) for f in [user] + self.rules[user])

    def rule_text(self, user):
        return "%s may use %s" % (user, ", ".join(self.rules[user]))


def walk(root):
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root)
        rel_dir = "" if rel_dir == "." else rel_dir + "/"
        dirnames[:] = sorted(
            d for d in dirnames
            if d not in SKIPPED_DIRS and not d.startswith("build") and not d.startswith(".")
            and not (rel_dir == "" and d in GLUE_DIRS))
        for name in sorted(filenames):
            yield rel_dir + name


def check_includes(root, layers, path, breaches):
    user = layers.layer_of(path)
    if user is None:
        breaches.append("%s: no row of the layout table covers this folder" % path)
        return
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            match = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
            if not match:
                continue
            included = match.group(1)
            if "/" not in included:
                continue  # beside the including file
            if included.split("/")[0] not in layers.top_dirs:
                continue  # a platform contract or not ours
            if not layers.allowed(user, included):
                breaches.append("%s:%d: includes %s, but %s" %
                                (path, number, included, layers.rule_text(user)))


def cmake_calls(text):
    """(name, arguments, line) of each command call, comments removed."""
    text = re.sub(r"(?m)(^|\s)#.*$", r"\1", text)
    for match in re.finditer(r"\b(\w+)\s*\(((?:[^()]|\([^()]*\))*)\)", text):
        line = text.count("\n", 0, match.start()) + 1
        yield match.group(1), match.group(2).split(), line


def cmake_files(root):
    for path in walk(root):
        if os.path.basename(path) == "CMakeLists.txt" and path not in GLUE_FILES:
            yield path


def collect_targets(root, layers):
    """{target: folder of the layer that defines it}, and the test targets."""
    targets = dict(GLUE_TARGETS)
    tests = set()
    for path in cmake_files(root):
        with open(os.path.join(root, path), encoding="utf-8") as f:
            calls = list(cmake_calls(f.read()))
        for name, args, _ in calls:
            if not args:
                continue
            if name in TEST_CALLS or name == "talon_fuzzer":
                target = args[1] if args[0] == "NAME" and len(args) > 1 else args[0]
                if name == "talon_fuzzer":
                    targets[target] = "fuzz/"
                else:
                    tests.add(target)
            elif name in TARGET_DEFINING_CALLS or name == "fuzz_copy":
                targets.setdefault(args[0], layers.layer_of(path))
    return targets, tests


def check_cmake(root, layers, path, targets, tests, contracts, breaches):
    user = layers.layer_of(path)
    if user is None:
        breaches.append("%s: no row of the layout table covers this folder" % path)
        return
    with open(os.path.join(root, path), encoding="utf-8") as f:
        calls = list(cmake_calls(f.read()))
    for name, args, line in calls:
        if name in TEST_CALLS or name in RUN_ONLY_CALLS or not args or args[0] in tests:
            continue
        for arg in args:
            arg = arg.strip('"')
            used = None
            source = re.search(r"\$\{(?:PROJECT|CMAKE)_SOURCE_DIR\}/([^\s\"$]+)", arg)
            if source:
                used, what = source.group(1), "names " + source.group(1)
            elif arg in targets and arg not in contracts and arg not in COMMON_TARGETS:
                used, what = targets[arg], "uses target %s (%s)" % (arg, targets[arg])
            if used and not layers.allowed(user, used):
                breaches.append("%s:%d: %s, but %s" % (path, line, what, layers.rule_text(user)))


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), "..", ".."))
    layers = Layers(root)
    contract_targets, _ = read_platform_contracts(root)
    targets, tests = collect_targets(root, layers)
    breaches = []
    for path in walk(root):
        if path.endswith(SOURCE_SUFFIXES) and not is_test_file(path):
            check_includes(root, layers, path, breaches)
    for path in cmake_files(root):
        check_cmake(root, layers, path, targets, tests, contract_targets, breaches)
    for breach in breaches:
        print(breach)
    if breaches:
        print("%d breach(es) of the README's 'May use' rules" % len(breaches))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
