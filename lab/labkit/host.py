"""What a sandboxed run must leave as it was on the host, and the check."""

from labkit import sources

# The memory tunables and the console log level that the tester's start-up
# writes on a machine of its own.
WATCHED = sources.tunables() + ("/proc/sys/kernel/printk",)


class HostChanged(Exception):
    pass


def _proc_mounts(mountinfo):
    """The mounts on the host's own /proc (the tester mounts one there)."""
    with open(mountinfo) as lines:
        return sorted(line.split()[0] for line in lines
                      if line.split()[4] == "/proc")


class HostGuard:
    """Snapshots the watched values before a run and compares after it.

    A changed tunable is written back and the run fails loudly: the lab must
    never be the reason this machine runs with other memory settings.
    """

    def __init__(self, paths=WATCHED, mountinfo="/proc/self/mountinfo"):
        self.paths = paths
        self.mountinfo = mountinfo
        self.before = None

    def snapshot(self):
        values = {}
        for path in self.paths:
            try:
                with open(path) as f:
                    values[path] = f.read()
            except FileNotFoundError:  # a kernel without it (numa_balancing)
                values[path] = None
        values["mounts on /proc"] = _proc_mounts(self.mountinfo)
        return values

    def __enter__(self):
        self.before = self.snapshot()
        return self

    def __exit__(self, *exc):
        self.check()
        return False

    def check(self):
        after = self.snapshot()
        changed = [key for key in self.before if after[key] != self.before[key]]
        if not changed:
            return
        for key in changed:
            if key in self.paths and self.before[key] is not None:
                with open(key, "w") as f:
                    f.write(self.before[key])
        details = "; ".join("%s: %r -> %r" % (key, self.before[key], after[key])
                            for key in changed)
        raise HostChanged("THE HOST CHANGED during a sandboxed run (tunables "
                          "written back): " + details)

