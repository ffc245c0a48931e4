"""Drives one QEMU virtual machine: starts it, reads its serial console, sends
it keys and asks its monitor, with a time bound on every wait."""
import os
import re
import socket
import subprocess
import tempfile
import threading
import time

QEMU = "qemu-system-x86_64"
OVMF = "/usr/share/ovmf/OVMF.fd"
PANIC = re.compile(rb"Kernel panic|end Kernel panic")


class VmFailure(Exception):
    pass


class Vm:
    """A QEMU guest with its serial port on QEMU's standard streams.

    Everything the guest prints is kept, and written to log_path as it comes.
    expect() searches the output from where the last match ended, so a series
    of expect() calls checks that texts come in that order."""

    def __init__(self, name, args, memory_mib, log_path, firmware="bios",
                 launcher=(), accel="tcg"):
        self.name = name
        self.memory_mib = memory_mib
        self.output = bytearray()
        self.position = 0
        self.started = time.monotonic()
        self._changed = threading.Condition()
        self._monitor_dir = tempfile.mkdtemp(prefix="cellcheck-vm-")
        self.monitor_path = os.path.join(self._monitor_dir, "monitor")
        # launcher: what QEMU runs under, e.g. ip netns exec NAME.
        command = list(launcher) + [
            QEMU, "-accel", accel, "-m", str(memory_mib),
            "-display", "none", "-no-reboot",
            "-chardev", "stdio,id=serial,signal=off",
            "-serial", "chardev:serial",
            "-monitor", f"unix:{self.monitor_path},server=on,wait=off",
        ]
        if firmware == "uefi":
            command += ["-bios", OVMF]
        command += args
        self._log = open(log_path, "wb")
        self._log.write(b"$ " + " ".join(command).encode() + b"\n")
        self._log.flush()
        self.process = subprocess.Popen(
            command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        stream = self.process.stdout
        while True:
            chunk = os.read(stream.fileno(), 65536)
            with self._changed:
                if not chunk:
                    self._changed.notify_all()
                    return
                self.output += chunk
                self._log.write(chunk)
                self._log.flush()
                self._changed.notify_all()

    def seconds(self):
        """Seconds since QEMU was started."""
        return time.monotonic() - self.started

    def expect(self, pattern, timeout, what=None):
        """Waits until pattern (bytes regex) appears after the last match and
        returns the match. Fails at once on a kernel panic or when QEMU ends."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                match = regex.search(self.output, self.position)
                if match:
                    self.position = match.end()
                    return match
                if PANIC.search(self.output):
                    self._fail("kernel panic", what or pattern)
                if self.process.poll() is not None and not self._reader.is_alive():
                    self._fail(f"QEMU ended (exit {self.process.returncode})",
                               what or pattern)
                left = deadline - time.monotonic()
                if left <= 0:
                    self._fail(f"not seen within {timeout} s", what or pattern)
                self._changed.wait(min(left, 1.0))

    def stays_up(self, seconds):
        """Fails if QEMU ends or the kernel panics within seconds."""
        deadline = time.monotonic() + seconds
        with self._changed:
            while time.monotonic() < deadline:
                if PANIC.search(self.output):
                    self._fail("kernel panic", "a guest that keeps running")
                if self.process.poll() is not None:
                    self._fail("QEMU ended", "a guest that keeps running")
                self._changed.wait(min(deadline - time.monotonic(), 1.0))

    def _fail(self, why, wanted):
        if isinstance(wanted, bytes):
            wanted = wanted.decode(errors="replace")
        tail = bytes(self.output[-600:]).decode(errors="replace")
        raise VmFailure(f"{self.name}: {why}, waiting for {wanted!r} "
                        f"after {self.seconds():.0f} s; last output:\n{tail}")

    def send(self, keys):
        """Types keys on the serial line."""
        self.process.stdin.write(keys)
        self.process.stdin.flush()

    def monitor(self, command, timeout=30):
        """Runs one QEMU monitor command and returns what it printed."""
        prompt = b"(qemu) "
        with socket.socket(socket.AF_UNIX) as sock:
            sock.settimeout(timeout)
            sock.connect(self.monitor_path)
            reply = b""
            while not reply.endswith(prompt):
                reply += sock.recv(65536) or self._closed()
            sock.sendall(command.encode() + b"\n")
            reply = b""
            while not reply.endswith(prompt):
                reply += sock.recv(1 << 20) or self._closed()
        # The monitor echoes the command with terminal escapes first.
        text = reply[:-len(prompt)].decode(errors="replace")
        return text.split("\r\n", 1)[1] if "\r\n" in text else text

    def _closed(self):
        raise VmFailure(f"{self.name}: QEMU monitor closed")

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=30)
        self._reader.join(timeout=30)
        self._log.close()
        try:
            os.unlink(self.monitor_path)
        except FileNotFoundError:
            pass
        os.rmdir(self._monitor_dir)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
