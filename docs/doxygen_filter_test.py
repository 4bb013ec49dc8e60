#!/usr/bin/env python3
"""Tests of doxygen_filter.py: each case is a header and what Doxygen must get."""

import os
import subprocess
import sys
import tempfile
import unittest

FILTER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "doxygen_filter.py")

CASES = [
    # Catches warnings that point at the wrong line: the file comment's
    # \file takes the place of the blank line after it.
    ("file comment", "// A header.\n\n#define X 1\n", "/// A header.\n/// \\file\n#define X 1\n"),
    # Catches a group comment that reaches no member but the first, and one
    # that lends a constructor's text to the destructor and deleted members.
    ("group",
     "class A {\n // Makes one.\n A();\n ~A();\n A(const A&) = delete;\n"
     " // Stores.\n void SetA(int a) { a_ = a; }\n void SetB(int b);\n};\n",
     "class A {\n /// Makes one.\n A();\n ~A();\n A(const A&) = delete;\n"
     " /// Stores.\n/**@{*/  void SetA(int a) { a_ = a; }\n void SetB(int b); /**@}*/\n};\n"),
    # Catches a trailing comment lost because of quotes, and a `//` inside a
    # string literal taken for a comment.
    ("trailing",
     'struct M {\n  int magic;  // the bytes read "OEML"\n};\nconst char* p = "a; // b";\n',
     'struct M {\n  int magic;  ///< the bytes read "OEML"\n};\nconst char* p = "a; // b";\n'),
    # Catches an example in a comment flowed into the text around it.
    ("example", "// Use:\n//   f();\n\nint f();\n", "/// Use:\n///     f();\n/// \\file\nint f();\n"),
]


class DoxygenFilterTest(unittest.TestCase):
    def test_cases(self):
        with tempfile.TemporaryDirectory() as tmp:
            for name, header, expected in CASES:
                with self.subTest(name):
                    path = os.path.join(tmp, "h.h")
                    with open(path, "w", encoding="utf-8") as f:
                        f.write(header)
                    out = subprocess.run([sys.executable, FILTER, path], check=True,
                                         capture_output=True, text=True, timeout=30).stdout
                    self.assertEqual(out, expected)
                    self.assertEqual(out.count("\n"), header.count("\n"))


if __name__ == "__main__":
    unittest.main()
