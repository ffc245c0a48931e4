#!/usr/bin/python3
"""The fault lab: runs Cellcheck (and memtester) in a sandbox on this machine,
injects memory faults while they test, and measures what they report.

  lab/faultlab.py probe    the sandbox is safe (a harmless probe as PID 1)
  lab/faultlab.py ci       the short lab: a clean run, then one flip and one
                           stuck bit in each bank, reported exactly
  lab/faultlab.py compare  the full comparison with memtester (about 27
                           minutes); writes the table into docs/testing.md
  lab/faultlab.py coverage time from the notice that full testing begins to
                           100 % coverage, with 1 CPU and with all (--memory,
                           default here 2048 MiB); no faults

Needs root (namespaces, a memory cgroup, ptrace); exits 77 where the machine
cannot make the sandbox. Build first (scripts/test.sh or cmake).
"""

import argparse
import concurrent.futures
import datetime
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from labkit import ci, runs, subjects, table  # noqa: E402
from labkit.faults import PlanShape, plan, startup_line  # noqa: E402
from labkit.host import HostChanged, HostGuard  # noqa: E402
from labkit.sandbox import (CANNOT_SANDBOX, SandboxError, SandboxRun,  # noqa: E402
                            unavailable)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1 << 20


def probe(args):
    lines = runs.probe(args.build, args.memory * MIB)
    print("\n".join(lines))
    print("sandbox safe: tunables and console level out of reach, host unchanged")


def run_ci(args):
    runs.probe(args.build, args.memory * MIB)
    print("sandbox probe: safe")
    ci.run(args.build, subjects.cellcheck(args.build), args.memory * MIB,
           args.clean_seconds, args.seed, args.logs)
    print("short lab passed")


def compare(args):
    subprocess.run([os.path.join(ROOT, "scripts", "need-packages.sh"), "memtester"],
                   check=True)
    memory = args.memory * MIB
    cellcheck, peer = subjects.cellcheck(args.build), subjects.memtester()
    shape = PlanShape(minutes=args.minutes)
    faults = plan(args.seed, subjects.MEMTESTER_HALF // 4, shape)
    say = lambda text: print(time.strftime("%H:%M:%S ") + text, flush=True)

    say("probe")
    runs.probe(args.build, memory)
    say("clean run, %.0f min, %d MiB" % (args.clean_minutes, args.clean_memory))
    clean = runs.clean_run(args.build, cellcheck, args.clean_memory * MIB,
                           args.clean_minutes * 60, args.logs)
    say("clean run: %d errors, %s" % (len(clean.reports), ci.speed_score(clean.output)))
    # Both at once: on a shared machine they then meet the same load.
    say("Cellcheck and memtester with the same %d faults, %.0f min each" % (
        len(faults), shape.run_seconds / 60))
    with concurrent.futures.ThreadPoolExecutor() as pool:
        running = [pool.submit(runs.faults_run, args.build, subject, memory,
                               faults, shape.run_seconds, args.logs)
                   for subject in (cellcheck, peer)]
        results = [future.result() for future in running]
    for result in results:
        say("%s: %d reports, %d false alarms" % (
            result.subject, len(result.reports), len(result.false_alarms)))
    # A line there before the first test: a run of its own for each, both
    # at once again; its outcome joins the table.
    first = startup_line(args.seed, subjects.MEMTESTER_HALF // 4, shape)
    say("Cellcheck and memtester, each with a stuck line made before its "
        "first test")
    with concurrent.futures.ThreadPoolExecutor() as pool:
        running = [pool.submit(runs.startup_run, args.build, subject, memory,
                               first, args.logs)
                   for subject in (cellcheck, peer)]
        for result, future in zip(results, running):
            startup = future.result()
            say("%s: %d reports, %d false alarms" % (
                startup.subject, len(startup.reports), len(startup.false_alarms)))
            result.outcomes.extend(startup.outcomes)
            result.false_alarms.extend(startup.false_alarms)
    section = report_section(args, shape, faults, clean, results)
    print(section)
    page = table.write_into_page(ROOT, section)
    say("table written to " + os.path.relpath(page, ROOT))
    if clean.reports or results[0].false_alarms:
        raise runs.LabFailure("Cellcheck reported errors with no fault behind them")


def coverage(args):
    """Full testing's time to 100 % coverage, alone in the sandbox, with one
    CPU and then with every CPU of the machine."""
    cellcheck = subjects.cellcheck(args.build)
    memory = (args.memory if args.memory_given else 2048) * MIB
    runs.probe(args.build, memory)
    cpus = len(os.sched_getaffinity(0))
    for count in sorted({1, cpus}):
        with HostGuard():
            with SandboxRun(args.build, cellcheck.argv, memory, cpus=count) as run:
                opened = time.monotonic()
                runs.wait_until_testing(run, cellcheck, 3600)
                began = time.monotonic()
                notice = run.output.wait_for(cellcheck.started).end()
                # The notice itself speaks of "100% coverage": the progress
                # line says it with the errors after a comma.
                done = run.output.wait_for(r"100% coverage, ", start=notice, timeout=7200)
                ended = time.monotonic()
                if done is None:
                    raise runs.LabFailure("no 100 % coverage with %d CPUs" % count)
                text = run.output.text()
        area = re.search(r"Test area: (\d+) MiB", text)
        testing = re.search(r"Testing with [^\n]*", text)
        estimate = re.search(r"Full testing reaches 100 % coverage in about ([^\n]*) at", text)
        print("%d CPU%s: %s; opening %.0f s, full testing to 100 %% %.0f s "
              "(%s MiB; %s; estimated %s; %s; load average %s)" % (
                  count, "" if count == 1 else "s", ci.speed_score(text),
                  began - opened, ended - began, area.group(1) if area else "?",
                  testing.group(0) if testing else "?",
                  estimate.group(1) if estimate else "?",
                  "errors: %d" % len(cellcheck.parse(run.output)), load_average()),
              flush=True)


def report_section(args, shape, faults, clean, results):
    counts = {}
    for fault in faults:
        counts[fault.model] = counts.get(fault.model, 0) + 1
    return "\n".join([
        "Measured %s on this machine (2 cores shared with other work; load "
        "average %s at the end), seed %d, a %d MiB memory cgroup each, both "
        "testers at once for %.0f min from when each began testing, the same "
        "faults at the same times after that; `memtester %s`:" % (
            datetime.date.today().isoformat(), load_average(), args.seed,
            args.memory, shape.run_seconds / 60, subjects.MEMTESTER_SIZE),
        "",
        table.comparison_table(results),
        "",
        "Faults: %d flips, %d stuck bits held %.0f s, %d weak cells active "
        "%.0f s (about %.0f flips a minute), %d bursts of %d words; banks "
        "alternate. Then, once the first %.0f min are over, %d stuck data "
        "lines one after another, each one bit of every word of %d page%s "
        "and of the same words of the other bank, held %.0f s. In a run of "
        "its own, one more such line made as each tester prepared its memory, "
        "before its first test, held until %.0f s after it began testing. A "
        "clean Cellcheck run of %.0f min (%d MiB cgroup) reported %d errors; "
        "%s." % (
            counts.get("flip", 0), counts.get("stuck", 0), shape.stuck_hold,
            counts.get("weak", 0), shape.weak_active, shape.weak_per_minute,
            counts.get("burst", 0), shape.burst_words, args.minutes,
            counts.get("line", 0), shape.line_pages,
            "" if shape.line_pages == 1 else "s", shape.line_hold,
            shape.startup_hold, args.clean_minutes, args.clean_memory, len(clean.reports),
            ci.speed_score(clean.output)),
    ])


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["probe", "ci", "compare", "coverage"])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"),
                        help="the CMake build directory")
    parser.add_argument("--memory", type=int, default=None,
                        help="the sandbox's memory limit in MiB (default 512; coverage: 2048)")
    parser.add_argument("--seed", type=int, default=7,
                        help="seeds the faults' places, bits and times")
    parser.add_argument("--clean-seconds", type=float, default=45,
                        help="ci: seconds of the clean run's testing")
    parser.add_argument("--clean-minutes", type=float, default=5,
                        help="compare: minutes of the clean run's testing")
    parser.add_argument("--clean-memory", type=int, default=2048,
                        help="compare: the clean run's memory limit in MiB; a "
                             "larger area times the speed score over more "
                             "whole seconds (default 2048)")
    parser.add_argument("--minutes", type=float, default=12,
                        help="compare: minutes of testing per tester before "
                             "the stuck data lines, which take 4 more")
    parser.add_argument("--logs", default=None,
                        help="where to keep each run's output and injections")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    args.memory_given = args.memory is not None
    if args.memory is None:
        args.memory = 512
    if args.logs is None:
        args.logs = os.path.join(args.build, "faultlab")

    lacking = unavailable()
    if lacking:
        print("faultlab: skipped: the lab needs " + lacking)
        return CANNOT_SANDBOX
    try:
        {"probe": probe, "ci": run_ci, "compare": compare,
         "coverage": coverage}[args.command](args)
    except (runs.LabFailure, HostChanged, SandboxError) as failure:
        print("faultlab: FAILED: %s" % failure, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
