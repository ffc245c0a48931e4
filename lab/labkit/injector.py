"""Drives lab_injector: commands in, timed log of every change out."""

import os
import subprocess
import threading
import time


def parse_event(line):
    """'NANOS EVENT key=value...' -> dict with 't' (ns) and 'event'."""
    words = line.split()
    event = {"t": int(words[0]), "event": words[1]}
    for word in words[2:]:
        key, _, value = word.partition("=")
        event[key] = value
    if event["event"] == "error":
        event["text"] = " ".join(words[2:])
    return event


class Injector:
    def __init__(self, build, pid, layout):
        command = [os.path.join(build, "lab", "lab_injector"), str(pid)] + layout
        self._process = subprocess.Popen(command, stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, text=True)
        self.events = []
        self._stderr = []
        self._changed = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self._stderr_reader = threading.Thread(target=self._read_stderr,
                                               daemon=True)
        self._stderr_reader.start()
        self.area = self.wait_for(lambda e: e["event"] == "area", timeout=10)
        if self.area is None:
            self.close()
            raise RuntimeError("the injector found no test area: " +
                               "".join(self._stderr))

    def _read_stderr(self):
        for line in self._process.stderr:
            self._stderr.append(line)

    def _read(self):
        for line in self._process.stdout:
            with self._changed:
                self.events.append(parse_event(line))
                self._changed.notify_all()
        with self._changed:
            self.events.append({"t": time.monotonic_ns(), "event": "closed"})
            self._changed.notify_all()

    def send(self, command):
        self._process.stdin.write(command + "\n")
        self._process.stdin.flush()

    def wait_for(self, predicate, timeout, start=0):
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for event in self.events[start:]:
                    if predicate(event):
                        return event
                if self.events and self.events[-1]["event"] == "closed":
                    return None
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._changed.wait(left)

    def command(self, command, timeout=30):
        """Sends one command and waits for its own log line: the line of its
        verb for its fault id (a stuck bit's comes once its probe store has
        proven it held), or an error about it."""
        start = len(self.events)
        self.send(command)
        words = command.split()
        verb, fault_id = words[0], words[1] if len(words) > 1 else None
        return self.wait_for(
            lambda e: e.get("id") == fault_id and e["event"] in (verb, "error")
            or e["event"] == "error" and "id" not in e,
            timeout, start)

    def state(self):
        """For a failure message: whether the injector still runs, its last
        log lines and what it wrote to stderr."""
        code = self._process.poll()
        last = [" ".join("%s=%s" % item for item in e.items())
                for e in self.events[-4:]]
        return "injector %s; last lines %s; stderr %r" % (
            "running" if code is None else "ended with %d" % code, last,
            "".join(self._stderr)[-500:])

    def counts(self):
        """Every stuck bit's log: made, forced stores, freed with counts."""
        return [e for e in self.events
                if e["event"] in ("stick", "unstick", "force", "error")]

    def errors(self):
        return [e for e in self.events if e["event"] == "error"]

    def close(self):
        if self._process.poll() is None:
            try:
                self.send("quit")
            except BrokenPipeError:
                pass
        self._process.wait(timeout=30)
        self._reader.join()
        self._stderr_reader.join()
        for stream in (self._process.stdin, self._process.stdout,
                       self._process.stderr):
            stream.close()
