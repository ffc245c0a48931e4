"""Texts the lab shares with the program, read from the program's sources:
files of C string literals that the C++ code includes as they are."""

import ast
import os

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _literals(relative_path):
    with open(os.path.join(ROOT, relative_path)) as f:
        return f.read()


def tunables():
    """The kernel tunables the program's start-up writes, in order."""
    return tuple(ast.literal_eval("[" + _literals("sysmem/tunables.inc") + "]"))


def full_testing_notice():
    """The notice the program prints when its endless testing begins."""
    return ast.literal_eval("(" + _literals("app/full_testing_notice.inc") + ")")
