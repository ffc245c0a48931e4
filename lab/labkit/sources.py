"""Texts the lab shares with the program, read from the program's sources:
files that the C++ code includes as they are."""

import ast
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _literals(relative_path):
    with open(os.path.join(ROOT, relative_path)) as f:
        return f.read()


def tunables():
    """The paths of the kernel tunables the program's start-up writes, in
    order: in each TUNABLE(...) entry of the table, its "/proc/" literal."""
    text = re.sub(r"//[^\n]*", "", _literals("seam/tunables.inc"))
    return tuple(re.findall(r'\bTUNABLE\(\s*\w+\s*,\s*"(/proc/[^"]+)"', text))


def full_testing_notice():
    """The notice the program prints when its endless testing begins."""
    return ast.literal_eval("(" + _literals("app/full_testing_notice.inc") + ")")
