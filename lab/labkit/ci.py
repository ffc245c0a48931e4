"""The short lab for CI: a clean run, then one flip and one stuck bit in each
bank, each of which must be reported with the right word and values."""

import random
import re
import time

from labkit import sources
from labkit.host import HostGuard
from labkit.injector import Injector
from labkit.reports import ADDRESS_NAMED, ADDRESS_UNKNOWN, cellcheck_error_numbers
from labkit.runs import (LabFailure, clean_run, finish, held_text,
                         wait_until_testing)
from labkit.sandbox import SandboxRun

TUNABLES = sources.tunables()

def address_problems(text, reports):
    """What is wrong with the error lines' physical addresses: one "unknown"
    line per report, and never an address. (After each error's two lines
    comes where the words are. Inside the sandbox's user namespace the kernel
    shows every frame number as 0, so the program cannot know a physical
    address and must say so.)"""
    problems = []
    unknown = len(ADDRESS_UNKNOWN.findall(text))
    if unknown != len(reports):
        problems.append("%d lines say the physical address is unknown for %d "
                        "reports" % (unknown, len(reports)))
    named = ADDRESS_NAMED.findall(text)
    if named:
        problems.append("%d physical addresses named where none can be known" %
                        len(named))
    return problems


def check_clean(result, memory_bytes):
    """A clean run: no error at all, the refused tunables shown, the
    measuring child stopped by the cgroup's limit and its zeroed blocks
    counted (the memory it obtained is close to the limit)."""
    problems = []
    if result.reports or cellcheck_error_numbers(result.log):
        problems.append("errors reported on sound memory: %s" %
                        [r.text for r in result.reports])
    for path in TUNABLES:
        if "ERROR " + path not in result.output:
            problems.append("no ERROR line for " + path)
    if not result.oom_kills:
        problems.append("the measuring child was not stopped by the limit")
    measured = re.search(r"of the (\d+) MiB obtainable", result.output)
    limit_mib = memory_bytes >> 20
    if not measured or not limit_mib * 3 // 4 < int(measured.group(1)) <= limit_mib:
        problems.append("the measurement does not match the %d MiB limit: %s" % (
            limit_mib, measured and measured.group(0)))
    if problems:
        raise LabFailure("clean run: " + "; ".join(problems))


def _reported(run, subject, bank, word, since_ns):
    return [r for r in subject.parse(run.output)
            if r.t >= since_ns and (bank, word) in r.named]


def _quick_test_flips(run, subject, injector, rng, words):
    """One flip per bank, made inside a quick serial test (a random bank test
    run ten times in a row, each announced when it ends) after the test has
    filled the word and before it compares it. A flip that misses that window
    is overwritten unseen; it is then tried again in the next quick test."""
    ends = {}

    def quick_test_end(n):
        match = run.output.wait_for(r"Finished quick test %d\." % n, timeout=300)
        if match is None:
            raise LabFailure("quick test %d did not finish" % n)
        ends[n] = run.output.time_at(match.end())
        return ends[n]

    duration = (quick_test_end(2) - quick_test_end(0)) / 2
    flips, missed = [], []
    n = 2
    for bank in "AB":
        for attempt in range(3):
            if n >= 9:
                raise LabFailure("no quick test left for the flip in bank " + bank)
            # Word k is filled early in the test (k is within the first
            # 2 % of the bank); the compare comes after the whole fill.
            word = rng.randrange(16, max(17, words // 50))
            fault_id = "flip%s%d" % (bank, attempt)
            time.sleep(max(0.0, (ends[n] + 0.3 * duration - time.monotonic_ns()) / 1e9))
            event = injector.command("flip %s %s %d %d" % (fault_id, bank, word,
                                                          rng.randrange(32)))
            quick_test_end(n + 1)
            n += 1
            if _reported(run, subject, bank, word, event["t"]):
                flips.append(event)
                break
            missed.append(event)
        else:
            raise LabFailure("a flip in bank %s was never reported: %s" %
                             (bank, missed[-3:]))
    return flips, missed


def _stuck_bit(run, subject, injector, rng, words, bank, timeout=180):
    """Holds one bit of one word until a report names the word with both
    values (a random bank or decay test) or the timeout passes."""
    word = rng.randrange(words)
    event = injector.command("stick stuck%s %s %d %d %d" % (
        bank, bank, word, rng.randrange(32), rng.randrange(2)))
    if event is None or event["event"] != "stick":
        raise LabFailure("could not make a stuck bit: %s (%s)" % (
            event, injector.state()))
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and run.running():
        if any(r.values for r in _reported(run, subject, bank, word, event["t"])):
            break
        time.sleep(0.5)
    freed = injector.command("unstick stuck" + bank)
    if freed is None or freed["event"] != "unstick":
        raise LabFailure("could not free a stuck bit: %s (%s)" % (
            freed, injector.state()))
    return event


def _check_values(outcome):
    """The values the tester printed are the ones the fault left."""
    event = outcome.injections[0]
    bank, bit = event["bank"], int(event["bit"])
    with_values = [r for r in outcome.reports if r.values]
    if not with_values:
        return "no report with values"
    for report in with_values:
        faulty, sound = report.values if bank == "A" else report.values[::-1]
        if event["event"] == "flip":
            if (faulty, sound) != (int(event["new"], 16), int(event["old"], 16)):
                return "values %s, expected new %s / old %s in bank %s" % (
                    report.values, event["new"], event["old"], bank)
        elif faulty ^ sound != 1 << bit or (faulty >> bit & 1) != int(event["level"]):
            return "values %s do not differ in bit %d held at %s in bank %s" % (
                report.values, bit, event["level"], bank)
    return None


def faults_run(build, subject, memory_bytes, seed, logs=None):
    rng = random.Random(seed)
    with HostGuard():
        with SandboxRun(build, subject.argv, memory_bytes) as run:
            run.output.wait_for(r"Running quick serial tests", timeout=600)
            injector = Injector(build, run.pid, subject.layout(run.output))
            words = int(injector.area["words"])
            flips, missed = _quick_test_flips(run, subject, injector, rng, words)
            started = wait_until_testing(run, subject, 600)
            time.sleep(2)
            stuck = [_stuck_bit(run, subject, injector, rng, words, bank)
                     for bank in "AB"]
            time.sleep(2)
            if not run.running():
                raise LabFailure("the tester ended during the faults run")
            if injector.errors():
                raise LabFailure("the injector failed: %s" % injector.errors())
            models = {e["id"]: "flip" for e in flips + missed}
            models.update({e["id"]: "stuck" for e in stuck})
            result = finish(run, subject, injector, models, started, logs)

    problems = []
    if result.false_alarms:
        problems.append("reports with no fault behind them: %s" %
                        [r.text for r in result.false_alarms])
    numbers = cellcheck_error_numbers(result.log)
    if numbers != list(range(1, len(result.reports) + 1)):
        problems.append("error numbers %s for %d reports" % (numbers, len(result.reports)))
    problems += address_problems(result.output, result.reports)
    wanted = {e["id"] for e in flips + stuck}
    for outcome in result.outcomes:
        if outcome.fault_id not in wanted:
            continue
        if outcome.model == "stuck" and outcome.stores is None:
            problems.append("%s: the injector logged no counts" % outcome.fault_id)
            continue
        if not outcome.exercised:
            problems.append("%s: not exercised (%d stores to its word while held, "
                            "%d forced)" % (outcome.fault_id, outcome.stores,
                                            outcome.forced))
            continue
        if not outcome.detected:
            problems.append("%s was not reported" % outcome.fault_id)
            continue
        problem = _check_values(outcome)
        if problem:
            problems.append("%s: %s" % (outcome.fault_id, problem))
    if problems:
        raise LabFailure("faults run: " + "; ".join(problems))
    return result, missed


def run(build, subject, memory_bytes, clean_seconds, seed, logs=None, say=print):
    result = clean_run(build, subject, memory_bytes, clean_seconds, logs)
    check_clean(result, memory_bytes)
    say("clean run: %d s of testing, 0 errors, host unchanged, %s" % (
        clean_seconds, speed_score(result.output)))
    result, missed = faults_run(build, subject, memory_bytes, seed, logs)
    for outcome in sorted(result.outcomes, key=lambda o: o.injected_ns):
        if outcome.detected:
            held = "; " + held_text(outcome) if outcome.model == "stuck" else ""
            say("%s: %s%s" % (outcome.fault_id, outcome.reports[0].text, held))
    if missed:
        say("%d flip(s) missed the quick test's window and were tried again" %
            len(missed))
    return result


def speed_score(text):
    match = re.search(r"Ratemark64 \(mixed CPU/RAM benchmark\): ([0-9.]+|inf)", text)
    return "speed score " + (match.group(1) if match else "not printed")
