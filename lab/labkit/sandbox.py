"""Runs one program in the lab's sandbox and records what it prints."""

import os
import signal
import subprocess
import tempfile
import threading
import time

from labkit.output import Output

CANNOT_SANDBOX = 77  # the exit status of a lab run this host cannot make


def unavailable():
    """What this host lacks for the sandbox and the injector, or None."""
    if os.geteuid() != 0:
        return "root (namespaces, a memory cgroup, ptrace)"
    with open("/proc/self/cgroup") as f:
        if not any(line.split(":")[1] == "memory" for line in f):
            return "the cgroup v1 memory controller"
    scope = "/proc/sys/kernel/yama/ptrace_scope"
    if os.path.exists(scope):
        with open(scope) as f:
            if f.read().strip() == "3":
                return "ptrace (kernel.yama.ptrace_scope is 3: nothing may be traced)"
    return None


class SandboxError(Exception):
    pass


def _pump(stream, sink):
    while True:
        data = os.read(stream.fileno(), 65536)
        if not data:
            break
        sink(data)


class SandboxRun:
    """One program as PID 1 of the sandbox, its stdout timed as it arrives.

    Use as a context manager: leaving it kills the sandbox and waits for it.
    With `stdin`, the program reads what send() writes; otherwise its input
    is empty.
    """

    def __init__(self, build, argv, memory_bytes, stdin=False, cpus=None):
        self.build = build
        # The program may run on this many CPUs (None: on all of the
        # machine's); it tests with one worker per CPU it may run on.
        self.cpus = cpus
        self.argv = argv
        self.memory_bytes = memory_bytes
        self.stdin = stdin
        self.output = Output()
        self.pid = None
        self.exit_status = None
        self.stderr = b""
        self._process = None
        self._threads = []

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self, timeout=10):
        piddir = tempfile.mkdtemp(prefix="faultlab-")
        pidfile = os.path.join(piddir, "pid")
        command = [os.path.join(self.build, "lab", "lab_sandbox"), "--memory",
                   str(self.memory_bytes), "--pidfile", pidfile]
        if self.cpus:
            command += ["--cpus", str(self.cpus)]
        command += ["--"] + self.argv
        self._process = subprocess.Popen(
            command, stdin=subprocess.PIPE if self.stdin else subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._threads = [
            threading.Thread(target=self._read_stdout, daemon=True),
            threading.Thread(target=self._read_stderr, daemon=True),
        ]
        for thread in self._threads:
            thread.start()
        deadline = time.monotonic() + timeout
        while not os.path.exists(pidfile):
            if self._process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise SandboxError("the sandbox did not start (status %s): %s" %
                                   (self.exit_status, self.stderr.decode()))
            time.sleep(0.01)
        with open(pidfile) as f:
            self.pid = int(f.read())
        os.unlink(pidfile)
        os.rmdir(piddir)

    def _read_stdout(self):
        _pump(self._process.stdout, self.output.feed)
        self.output.close()

    def _read_stderr(self):
        def keep(data):
            self.stderr += data
        _pump(self._process.stderr, keep)

    def send(self, line):
        """One line to the program's input."""
        self._process.stdin.write(line.encode() + b"\n")
        self._process.stdin.flush()

    def running(self):
        return self._process is not None and self._process.poll() is None

    def stop(self):
        if self._process is None:
            return
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGTERM)  # kills the sandbox
        self.exit_status = self._process.wait()
        for thread in self._threads:
            thread.join()
        if self._process.stdin:
            try:
                self._process.stdin.close()
            except BrokenPipeError:
                pass
        self._process.stdout.close()
        self._process.stderr.close()

    def cgroup_summary(self):
        """(peak bytes, oom kills) as the sandbox reported them."""
        for line in self.stderr.decode(errors="replace").splitlines():
            if line.startswith("lab_sandbox: peak"):
                words = line.split()
                return int(words[2]), int(words[-1])
        return None, None
