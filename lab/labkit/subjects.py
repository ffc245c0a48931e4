"""The testers the lab runs: how each starts, where its banks lie, what it
prints when it finds an error."""

import dataclasses
import os
import re

from labkit import reports, sources

# memtester 400M, measured from outside: its buffer starts at the first page
# boundary of its mapping (one page in, after malloc's header) and compares
# two halves that start this many bytes apart, 2040 bytes short of 200 MiB.
# Reported offsets confirm it: a fault at byte x of the second half is
# reported at offset x.
MEMTESTER_SIZE = "400M"
MEMTESTER_BYTES = 419430400
MEMTESTER_HALF = 209713160


@dataclasses.dataclass(frozen=True)
class Subject:
    name: str
    argv: list
    started: str   # a regex: the tester has begun its endless testing
    layout: object  # Output -> lab_injector's layout arguments
    parse: object  # Output -> [Report]
    check_start: object = None  # Output -> error text or None
    # A regex: the test area exists and no test has begun yet.
    preparing: str = None


def _cellcheck_layout(output):
    """The area size the tester printed, for the injector to check."""
    stated = re.search(r"Test area: (\d+) MiB", output.text())
    return ["cellcheck"] + ([stated.group(1)] if stated else [])


def cellcheck(build):
    return Subject(
        "Cellcheck", [os.path.join(build, "app", "cellcheck")],
        re.escape(sources.full_testing_notice().strip().splitlines()[0]),
        _cellcheck_layout,
        reports.cellcheck_reports,
        preparing=r"Preparing and pre-testing memory")


def _memtester_size(output):
    got = re.findall(r"got +\d+MB \((\d+) bytes\)", output.text())
    if not got or int(got[-1]) != MEMTESTER_BYTES:
        return "memtester tests %s bytes, not the %d its layout was measured for" % (
            got[-1] if got else "an unknown number of", MEMTESTER_BYTES)
    return None


def memtester():
    return Subject(
        "memtester", ["/usr/sbin/memtester", MEMTESTER_SIZE], r"Loop 1:",
        lambda output: ["split", "4096", str(MEMTESTER_HALF)],
        lambda output: reports.memtester_reports(output, MEMTESTER_HALF),
        _memtester_size, preparing=r"Loop 1:")
