"""The injector against a stand-in tester in the sandbox: each fault model
lands on the word the tester calls bank A or B word k, with the values the
injector logged, and leaves nothing behind when the injector goes."""

import os
import unittest

from labkit.host import HostGuard
from labkit.injector import Injector
from labkit.matcher import match
from labkit.reports import cellcheck_reports
from labkit.sandbox import SandboxRun

BUILD = os.environ.get("LAB_BUILD", "")
TARGET = os.path.join(BUILD, "tests", "lab_area_target")


def sandbox_unavailable():
    if not os.path.exists(TARGET):
        return "LAB_BUILD does not hold the built lab"
    if os.geteuid() != 0:
        return "needs root"
    with open("/proc/self/cgroup") as f:
        if not any(line.split(":")[1] == "memory" for line in f):
            return "needs the cgroup v1 memory controller"
    return None


@unittest.skipIf(sandbox_unavailable(), sandbox_unavailable())
class InjectionTest(unittest.TestCase):
    def test_fault_models_on_a_stand_in_tester(self):
        # 64 MiB area; each round fills both banks alike, prints "filled N",
        # waits 300 ms, then reports every pair that differs.
        with HostGuard(), SandboxRun(BUILD, [TARGET, "64", "300"], 128 << 20) as run:
            out = run.output
            self.assertTrue(out.wait_for(r"filled 1\n", timeout=30))
            injector = Injector(BUILD, run.pid, ["cellcheck", "64"])
            words = int(injector.area["words"])
            self.assertEqual(words, (64 << 20) // 8)
            page = (-int(injector.area["bankA"], 16)) % 4096 // 4 + 1024
            commands = [
                "flip fa A 5 0", "flip fb B %d 31" % (words - 1),
                "burst ba A %d:1 %d:30 %d:7" % (page, page + 511, page + 1023),
                # Bit 16 follows the round number, so it differs from the
                # value held in some round and agrees in others.
                "stick s1 A 1000 16 1", "stick s0 B 2000 16 0",
            ]
            for command in commands:
                event = injector.command(command)
                self.assertNotEqual(event["event"], "error", event)
            end = out.wait_for(r"checked 4\n", timeout=30)
            injector.command("unstick s1")
            # s0 stays: closing the injector must clear its watchpoint, or the
            # target's next store there would kill it with SIGTRAP.
            injector.close()
            freed = out.wait_for(r"checked 6\n", start=end.end(), timeout=30)
            later = out.wait_for(r"checked 7\n", start=end.end(), timeout=30)
            self.assertTrue(later and run.running(), "the target died")
            reports = cellcheck_reports(out)

        outcomes, false_alarms = match(
            {"fa": "flip", "fb": "flip", "ba": "burst", "s1": "stuck", "s0": "stuck"},
            injector.events, reports)
        self.assertEqual(false_alarms, [])
        by_id = {o.fault_id: o for o in outcomes}
        for fault_id in ("fa", "fb"):
            event = by_id[fault_id].injections[0]
            new, old = int(event["new"], 16), int(event["old"], 16)
            self.assertEqual([r.values for r in by_id[fault_id].reports],
                             [(new, old) if event["bank"] == "A" else (old, new)])
        burst = by_id["ba"]
        self.assertEqual(len(burst.reports), 3)
        for report, event in zip(burst.reports, burst.injections):
            self.assertEqual(report.named, {("A", int(event["word"])),
                                            ("B", int(event["word"]))})
            self.assertEqual(report.values, (int(event["new"], 16), int(event["old"], 16)))
        for fault_id, bank, level in (("s1", "A", 1), ("s0", "B", 0)):
            stuck = by_id[fault_id]
            self.assertTrue(stuck.reports, fault_id + " never reported")
            for report in stuck.reports:
                held, sound = report.values if bank == "A" else report.values[::-1]
                self.assertEqual(held ^ sound, 1 << 16)
                self.assertEqual(held >> 16 & 1, level)
        # Freed after round 4, s1 shows no more once round 6 has refilled it.
        self.assertLess(by_id["s1"].reports[-1].t, out.time_at(freed.start()))


if __name__ == "__main__":
    unittest.main()
