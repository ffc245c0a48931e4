"""A program's console output as it arrives, with the time of each piece."""

import bisect
import re
import threading
import time


class Output:
    """Text (one character per byte) and, for every chunk read, the time it
    arrived and where it ended, so any offset has a time of arrival."""

    def __init__(self):
        self._parts = []
        self._text = ""
        self._ends = []
        self._times = []
        self._closed = False
        self._changed = threading.Condition()

    def feed(self, data, at_ns=None):
        at_ns = time.monotonic_ns() if at_ns is None else at_ns
        with self._changed:
            self._parts.append(data.decode("latin-1"))
            self._ends.append(self._length() + len(self._parts[-1]))
            self._times.append(at_ns)
            self._changed.notify_all()

    def close(self):
        with self._changed:
            self._closed = True
            self._changed.notify_all()

    def _length(self):
        return self._ends[-1] if self._ends else 0

    def text(self):
        with self._changed:
            if self._parts:
                self._text += "".join(self._parts)
                self._parts = []
            return self._text

    def time_at(self, offset):
        """When the character before `offset` arrived (a match's end)."""
        with self._changed:
            i = bisect.bisect_left(self._ends, offset)
            return self._times[min(i, len(self._times) - 1)]

    def wait_for(self, pattern, start=0, timeout=None):
        """The first match of pattern at or after start, once it has arrived;
        None on timeout or when the output ends without one."""
        regex = re.compile(pattern)
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            match = regex.search(self.text(), start)
            if match:
                return match
            with self._changed:
                if self._closed:
                    return None
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    return None
                self._changed.wait(left if left is None else min(left, 1.0))
