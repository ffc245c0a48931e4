"""The host check: a changed tunable fails the run loudly and is put back."""

import os
import tempfile
import unittest

from labkit.host import HostChanged, HostGuard


class HostGuardTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.tunable = os.path.join(self.dir.name, "overcommit_memory")
        self.mountinfo = os.path.join(self.dir.name, "mountinfo")
        with open(self.tunable, "w") as f:
            f.write("0\n")
        self.mounts("22 1 0:5 / /proc rw - proc proc rw\n")

    def tearDown(self):
        self.dir.cleanup()

    def mounts(self, text):
        with open(self.mountinfo, "w") as f:
            f.write("21 1 254:0 / / rw - ext4 /dev/vda rw\n" + text)

    def guard(self):
        return HostGuard(paths=(self.tunable,), mountinfo=self.mountinfo)

    def test_unchanged_host_passes(self):
        with self.guard():
            pass

    def test_changed_tunable_fails_and_is_written_back(self):
        with self.assertRaisesRegex(HostChanged, "overcommit_memory"):
            with self.guard():
                with open(self.tunable, "w") as f:
                    f.write("2")
        with open(self.tunable) as f:
            self.assertEqual(f.read(), "0\n")

    def test_a_tunable_the_kernel_lacks_is_no_failure(self):
        guard = HostGuard(paths=(self.tunable, self.tunable + "-missing"),
                          mountinfo=self.mountinfo)
        with guard:
            pass

    def test_a_proc_mounted_over_the_hosts_fails(self):
        with self.assertRaisesRegex(HostChanged, "mounts on /proc"):
            with self.guard():
                self.mounts("22 1 0:5 / /proc rw - proc proc rw\n"
                            "40 22 0:9 / /proc rw - proc proc rw\n")


if __name__ == "__main__":
    unittest.main()
