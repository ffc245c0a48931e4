"""The lab's runs: the sandbox probe, a clean run, a run with faults."""

import dataclasses
import os
import re
import time

from labkit import sources
from labkit.host import HostGuard
from labkit.injector import Injector
from labkit.matcher import match
from labkit.sandbox import SandboxRun


class LabFailure(Exception):
    pass


def _sleep_until(deadline_ns):
    left = (deadline_ns - time.monotonic_ns()) / 1e9
    if left > 0:
        time.sleep(left)


def save(directory, name, text):
    if directory:
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, name), "w", encoding="latin-1") as f:
            f.write(text)


# What the probe must find inside the sandbox before the tester may run there.
PROBE_EXPECTED = {
    "pid": lambda v: v == "1",
    "uid": lambda v: v == "0",
    "mount-proc": lambda v: v == "ok",
    "proc-self": lambda v: v == "1",
    "klogctl": lambda v: v != "ok",
}


def probe(build, memory_bytes):
    """Runs the harmless probe as the sandbox's PID 1; raises LabFailure
    unless everything the tester's start-up would change on the host is out
    of its reach. Returns the probe's lines."""
    limit_mib = memory_bytes >> 20
    with HostGuard():
        with SandboxRun(build, [os.path.join(build, "lab", "lab_probe"),
                                str(limit_mib)], memory_bytes) as run:
            run.output.wait_for(r"memory-stop-mib=.*\n", timeout=60)
    lines = run.output.text().splitlines()
    found = dict(line[len("probe: "):].split("=", 1) for line in lines
                 if line.startswith("probe: ") and "=" in line)
    problems = [key for key, ok in PROBE_EXPECTED.items()
                if key not in found or not ok(found[key])]
    tunables = [line for line in lines if line.startswith("probe: tunable")]
    if len(tunables) != len(sources.tunables()) or any(
            line.endswith("=ok") for line in tunables):
        problems.append("a memory tunable is writable")
    stop = re.search(r"memory-stop-mib=(\d+) killed=(\S+)", run.output.text())
    if not stop or int(stop.group(1)) > limit_mib or stop.group(2) != "Killed":
        problems.append("the memory limit did not stop the probe's child")
    if problems:
        raise LabFailure("the sandbox is not safe: %s\n%s" %
                         (", ".join(problems), "\n".join(lines)))
    return lines


@dataclasses.dataclass
class RunResult:
    subject: str
    output: str
    log: object  # the Output, with the time every piece arrived
    reports: list
    outcomes: list
    false_alarms: list
    oom_kills: int  # by the cgroup's limit: the measuring child, normally


def wait_until_testing(run, subject, timeout):
    """When the tester began its endless testing (ns)."""
    started = run.output.wait_for(subject.started, timeout=timeout)
    if started is None:
        raise LabFailure("%s did not begin testing within %d s; it printed:\n%s" %
                         (subject.name, timeout, run.output.text()[-2000:]))
    if subject.check_start:
        problem = subject.check_start(run.output)
        if problem:
            raise LabFailure(problem)
    return run.output.time_at(started.end())


def held_text(outcome):
    """What a stuck bit met while it was held: the stores to its word, from
    how many of the tester's threads, and the ones it forced."""
    threads = "1 thread" if outcome.threads == 1 else "%d threads" % outcome.threads
    return "%d stores to its word while held, from %s, %d of them forced" % (
        outcome.stores, threads, outcome.forced)


def finish(run, subject, injector, models, started_ns, logs):
    """Stops the run (which must still be testing) and matches its reports."""
    if not run.running():
        raise LabFailure("%s ended during the run (status %s):\n%s" % (
            subject.name, run.exit_status, run.output.text()[-2000:]))
    if injector:
        injector.close()
    run.stop()
    events = injector.events if injector else []
    reports = subject.parse(run.output)
    outcomes, false_alarms = match(models, events, reports)
    save(logs, subject.name + "-output.txt", run.output.text())
    save(logs, subject.name + "-injections.txt",
         "\n".join(str(e) for e in events) + "\n")
    save(logs, subject.name + "-outcomes.txt", "".join(
        "%s %s at %.1f s: %s%s\n" % (
            o.fault_id, o.model, (o.injected_ns - started_ns) / 1e9,
            "reported after %.3f s, %d reports, first: %s" % (
                o.latency, len(o.reports), o.reports[0].text)
            if o.detected else "not reported",
            "" if o.stores is None else
            "; " + held_text(o) + ("" if o.exercised else ": not exercised"))
        for o in sorted(outcomes, key=lambda o: o.injected_ns)))
    _, kills = run.cgroup_summary()
    return RunResult(subject.name, run.output.text(), run.output, reports,
                     outcomes, false_alarms, kills)


def clean_run(build, subject, memory_bytes, seconds, logs=None, start_timeout=600,
              cpus=None):
    """The tester alone for `seconds` of endless testing, on `cpus` CPUs
    (None: all)."""
    with HostGuard():
        with SandboxRun(build, subject.argv, memory_bytes, cpus=cpus) as run:
            started = wait_until_testing(run, subject, start_timeout)
            _sleep_until(started + int(seconds * 1e9))
            result = finish(run, subject, None, {}, started, logs)
    return result


def startup_run(build, subject, memory_bytes, fault, logs=None,
                start_timeout=600):
    """The tester, on all CPUs, with one stuck line made as it prepares its
    memory (before its first test) and held until `fault.hold` seconds after
    it began testing; the run ends some seconds after the line is freed. Its
    logs are named "SUBJECT-startup"."""
    subject = dataclasses.replace(subject, name=subject.name + "-startup")
    with HostGuard():
        with SandboxRun(build, subject.argv, memory_bytes) as run:
            if run.output.wait_for(subject.preparing, timeout=start_timeout) is None:
                raise LabFailure("%s never began to prepare its memory:\n%s" % (
                    subject.name, run.output.text()[-2000:]))
            injector = Injector(build, run.pid, subject.layout(run.output))
            first_page_word = (-int(injector.area["bankA"], 16)) % 4096 // 4
            (_, make), (_, free) = fault.actions(first_page_word)
            made = injector.command(make, timeout=60)
            if made is None or made["event"] == "error":
                raise LabFailure("could not make the start-up line: %s (%s)" % (
                    made, injector.state()))
            started = wait_until_testing(run, subject, start_timeout)
            _sleep_until(started + int(fault.hold * 1e9))
            injector.send(free)
            _sleep_until(started + int((fault.hold + 5) * 1e9))
            if injector.errors():
                raise LabFailure("the injector failed: %s" % injector.errors())
            result = finish(run, subject, injector, {fault.id: fault.model},
                            started, logs)
    return result


def faults_run(build, subject, memory_bytes, faults, seconds, logs=None,
               start_timeout=600):
    """The tester, on all CPUs, with the planned faults injected at their
    times after it began testing; runs `seconds` of testing in all."""
    with HostGuard():
        with SandboxRun(build, subject.argv, memory_bytes) as run:
            started = wait_until_testing(run, subject, start_timeout)
            injector = Injector(build, run.pid, subject.layout(run.output))
            area = injector.area
            first_page_word = {
                bank: ((-int(area["bank" + bank], 16)) % 4096) // 4
                for bank in "AB"}
            actions = sorted(
                (at, command) for fault in faults
                for at, command in fault.actions(first_page_word[fault.bank[0]]))
            try:
                for at, command in actions:
                    _sleep_until(started + int(at * 1e9))
                    injector.send(command)
                _sleep_until(started + int(seconds * 1e9))
            except BrokenPipeError:
                raise LabFailure("the injector ended early: %s" % injector.events[-3:])
            if injector.errors():
                raise LabFailure("the injector failed: %s" % injector.errors())
            models = {fault.id: fault.model for fault in faults}
            result = finish(run, subject, injector, models, started, logs)
    return result
