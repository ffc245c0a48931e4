#!/usr/bin/python3
"""Reads ctest's JUnit files and prints every skipped test with the reason it
gave, then one line of counts. Exits 1 when a test failed, or when one was
skipped without saying why: a skip must name what the host lacks.

Usage: scripts/skip_summary.py NAME=JUNIT_FILE...   (NAME: the build)

Reasons are found as the tools print them: a GoogleTest skip ("file:line:
Skipped" and the message on the next line), or a line "skipped: REASON"
(the fault lab, its injection test, the end-to-end runner)."""

import re
import sys
import xml.etree.ElementTree as ElementTree

GTEST_SKIPPED = re.compile(r"^\[  SKIPPED \] ", re.M)
GTEST_REASON = re.compile(r": Skipped\n(.+)")
REASON = re.compile(r"skipped: (.+)", re.I)


def reason_of(output):
    for pattern in (GTEST_REASON, REASON):
        match = pattern.search(output)
        if match and match.group(1).strip():
            return match.group(1).strip()
    return None


def main(args):
    passed = failed = 0
    skipped = []
    for arg in args:
        build, _, path = arg.partition("=")
        for case in ElementTree.parse(path).getroot().iter("testcase"):
            output = case.findtext("system-out") or ""
            if case.find("failure") is not None or case.find("error") is not None:
                failed += 1
            elif case.find("skipped") is not None or GTEST_SKIPPED.search(output):
                skipped.append((build, case.get("name"), reason_of(output)))
            else:
                passed += 1
    if skipped:
        print("Skipped tests (%d):" % len(skipped))
        for build, name, reason in skipped:
            print("  %-9s %s: %s" % (build, name, reason or "NO REASON GIVEN"))
    else:
        print("Skipped tests: none")
    silent = [name for _, name, reason in skipped if reason is None]
    if silent:
        print("skipped without naming what is missing: " + ", ".join(silent))
    print("test.sh: %d passed, %d failed, %d skipped" % (passed, failed, len(skipped)))
    return 1 if failed or silent else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
