#!/usr/bin/python3
"""The injector against a stand-in tester in the sandbox: each fault model
lands on the word the tester calls bank A or B word k, with the values the
injector logged; a stuck bit counts exactly the stores to its word, from
whichever thread they come (one started after the injector attached
included); and nothing is left behind when the injector goes.

The stand-in runs in lock-step: it fills its banks and checks them only when
told to, so every fault is in place, and the injector has logged it, before
the round that must show it. Run as a program: exits 77 (skipped) with a line
that names what this host lacks where there is no sandbox to be had."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "lab"))

from labkit.host import HostGuard  # noqa: E402
from labkit.injector import Injector  # noqa: E402
from labkit.matcher import match  # noqa: E402
from labkit.reports import cellcheck_reports  # noqa: E402
from labkit.sandbox import SandboxRun, unavailable  # noqa: E402

BUILD = os.environ.get("LAB_BUILD", "")
TARGET = os.path.join(BUILD, "tests", "lab", "lab_area_target")
AREA_MIB = 64
PAIR = re.compile(r"Error found with word pair# (\d+), values (\d+), (\d+) do not match")


def value(word, round_):
    """What the stand-in writes to word k of both banks in a round."""
    return ((word + 1) * 2654435761 & 0xFFFFFFFF) ^ (round_ << 16)


class StandInTest(unittest.TestCase):
    """Drives the stand-in and the injector, round by round."""

    def setUp(self):
        self.injector = None

    def close_injector(self):
        if self.injector:
            self.injector.close()
        self.injector = None

    def check(self, run, n):
        """Lets the stand-in check round n; the reports it printed, as
        (word, bank A value, bank B value)."""
        out = run.output
        start = len(out.text())
        run.send("check")
        done = out.wait_for(r"checked %d\n" % n, start=start, timeout=120)
        self.assertIsNotNone(done, "round %d was never checked" % n)
        return [tuple(map(int, m)) for m in PAIR.findall(out.text()[start:done.start()])]

    def fill(self, run, n):
        start = len(run.output.text())
        run.send("fill")
        self.assertIsNotNone(
            run.output.wait_for(r"filled %d\n" % n, start=start, timeout=120),
            "round %d was never filled" % n)

    def command(self, text):
        event = self.injector.command(text)
        self.assertIsNotNone(event, "no log line for: " + text)
        self.assertNotEqual(event["event"], "error", event)
        return event


class InjectionTest(StandInTest):
    def test_fault_models_on_a_stand_in_tester(self):
        # With two threads each fills its half of both banks: s1 lies in the
        # first's share, s0 in the second's.
        for threads in (1, 2):
            with self.subTest(threads=threads):
                self.fault_models(threads)

    def fault_models(self, threads):
        try:
            self.check_fault_models(threads)
        except AssertionError:
            # What the injector saw of each stuck bit, to tell a fault that
            # did nothing from a report that went astray.
            if self.injector:
                for event in self.injector.counts():
                    print("injector:", event, file=sys.stderr)
            raise
        finally:
            self.close_injector()

    def check_fault_models(self, threads):
        with HostGuard(), SandboxRun(BUILD, [TARGET, str(AREA_MIB), str(threads)],
                                     128 << 20, stdin=True) as run:
            self.assertTrue(run.output.wait_for(r"ready\n", timeout=60))
            self.fill(run, 0)
            self.assertEqual(self.check(run, 0), [], "faults before any were made")
            self.injector = Injector(BUILD, run.pid, ["cellcheck", str(AREA_MIB)])
            words = int(self.injector.area["words"])
            self.assertEqual(words, (AREA_MIB << 20) // 8)
            page = (-int(self.injector.area["bankA"], 16)) % 4096 // 4 + 1024

            self.fill(run, 1)
            # s1 holds bit 16, which follows the round's parity, so it shows
            # in every other round; fa lies on s1's page, which is read-only
            # while s1 holds it. s2 holds a bit at the value the word has
            # and is freed before anything stores there: not exercised.
            s2_level = value(3000, 1) >> 16 & 1
            stuck = {"s1": ("A", 1000, 1), "s0": ("B", words - 2000, 0)}
            for fault_id, (bank, word, level) in stuck.items():
                self.command("stick %s %s %d 16 %d" % (fault_id, bank, word, level))
            self.command("stick s2 A 3000 16 %d" % s2_level)
            flips = [self.command("flip fa A 5 0"),
                     self.command("flip fb B %d 31" % (words - 1))]
            burst = self.command("burst ba A %d:1 %d:30 %d:7" % (page, page + 511, page + 1023))
            rounds = {1: self.check(run, 1)}
            self.assertEqual(self.command("unstick s2")["stores"], "0")
            for n in (2, 3):
                self.fill(run, n)
                rounds[n] = self.check(run, n)
            freed = self.command("unstick s1")
            # s0 stays: the injector frees its page when it goes, or the
            # stand-in's next store there would kill it.
            self.injector.close()
            self.fill(run, 4)
            rounds[4] = self.check(run, 4)
            self.assertTrue(run.running(), "the stand-in died")
            reports = cellcheck_reports(run.output)

        events = self.injector.events
        outcomes, false_alarms = match(
            {"fa": "flip", "fb": "flip", "ba": "burst", "s0": "stuck", "s1": "stuck",
             "s2": "stuck"}, events, reports)
        self.assertEqual(false_alarms, [])
        by_id = {o.fault_id: o for o in outcomes}
        self.assertFalse(by_id["s2"].exercised)
        self.assertTrue(by_id["s1"].exercised and by_id["s0"].exercised)

        def pair(bank, word, faulty, sound):
            return (word, faulty, sound) if bank == "A" else (word, sound, faulty)

        expected = {n: [] for n in rounds}
        for event in flips + burst_events(events, burst):
            expected[1].append(pair(event["bank"], int(event["word"]),
                                    int(event["new"], 16), int(event["old"], 16)))
        for n in (1, 2, 3):
            for bank, word, level in stuck.values():
                sound = value(word, n)
                if sound >> 16 & 1 != level:
                    expected[n].append(pair(bank, word, sound ^ 1 << 16, sound))
        for n in rounds:
            self.assertEqual(sorted(rounds[n]), sorted(expected[n]), "round %d" % n)
        # Each fill stores every word once: s1 and s0 saw the fills of rounds
        # 2 and 3, and forced the one whose bit was not at their level.
        closing = {e["id"]: e for e in events if e["event"] == "unstick"}
        self.assertEqual(closing["s1"], freed)
        for fault_id in ("s1", "s0"):
            self.assertEqual((closing[fault_id]["stores"], closing[fault_id]["forced"]),
                             ("2", "1"), fault_id)
        forces = [e for e in events if e["event"] == "force"]
        self.assertEqual(sorted(e["id"] for e in forces), ["s0", "s1"])

    def test_stops_asked_for_while_the_tester_stores_to_a_held_page(self):
        """Every store to a held page stops the tester, so the injector's own
        requests to stop meet those stops, from every thread at once: the
        commands still answer, each store is counted and forced, whichever
        thread made it (one started while the page is held too), and the
        tester lives."""
        # (threads storing from the start, threads started midway)
        for threads, joins in ((1, 0), (2, 1)):
            with self.subTest(threads=threads, joins=joins):
                self.hammered_page(threads, joins)

    def hammered_page(self, threads, joins):
        try:
            self.check_hammered_page(threads, joins)
        except AssertionError:
            if self.injector:
                print("injector:", self.injector.state(), file=sys.stderr)
            raise
        finally:
            self.close_injector()

    def check_hammered_page(self, threads, joins):
        every = threads + joins
        with HostGuard(), SandboxRun(BUILD, [TARGET, str(AREA_MIB), str(threads)],
                                     128 << 20, stdin=True) as run:
            self.assertTrue(run.output.wait_for(r"ready\n", timeout=60))
            self.injector = Injector(BUILD, run.pid, ["cellcheck", str(AREA_MIB)])
            word = (-int(self.injector.area["bankA"], 16)) % 4096 // 4 + 1024
            # Thread i stores (n << 8) to word + i, all on one page: bit 5 is
            # never set by its stores. Words 16 and 17 on are no thread's.
            for i in range(every):
                self.command("stick held%d A %d 5 1" % (i, word + i))
            run.send("hammer %d" % word)
            self.assertTrue(run.output.wait_for(r"hammering\n", timeout=60))
            for n in range(200):
                if n == 100:
                    for i in range(threads, every):
                        start = len(run.output.text())
                        run.send("join")
                        self.assertTrue(run.output.wait_for(
                            r"joined %d\n" % i, start=start, timeout=60))
                self.command("stick t%d A %d 7 %d" % (n, word + 16, n % 2))
                self.command("unstick t%d" % n)
                self.command("flip f%d A %d 9" % (n, word + 17))
            self.assertFalse(run.output.wait_for(r"hammered", timeout=0),
                             "the stores ended before the stops were tried")
            start = len(run.output.text())
            run.send("stop")
            self.assertIsNotNone(
                run.output.wait_for(r"hammered %d .*\n" % (every - 1), start=start,
                                    timeout=60),
                "the stand-in never stopped storing")
            done = re.findall(r"hammered (\d+) (\d+) value (\d+)\n",
                              run.output.text()[start:])
            freed = [self.command("unstick held%d" % i) for i in range(every)]
            self.assertTrue(run.running(), "the stand-in died")
        self.assertEqual(self.injector.errors(), [])
        self.assertEqual([int(d[0]) for d in done], list(range(every)))
        for (_, stores, last), counts in zip(done, freed):
            stores, last = int(stores), int(last)
            self.assertGreater(stores, 0, counts["id"])
            # Each word is one thread's: every store is counted as that
            # thread's.
            self.assertEqual((counts["stores"], counts["forced"], counts["threads"]),
                             (str(stores), str(stores), "1"), counts["id"])
            self.assertEqual(last, (stores << 8 | 1 << 5) & 0xFFFFFFFF, counts["id"])


class StuckLineTest(StandInTest):
    """A stuck data line holds one bit in every word of a stretch of bank A
    and of the same words of bank B: the pairs stay equal, so a check of one
    bank against the other sees nothing, while every word whose fill had the
    bit at the other level holds the wrong value, in both banks alike."""

    EXPECT = re.compile(r"word (\d+) bank ([AB]) value (\d+) expected (\d+)")

    def expect(self, run, n):
        """The words of either bank that do not hold round n's fill, as
        (word, bank, value, expected)."""
        start = len(run.output.text())
        run.send("expect")
        done = run.output.wait_for(r"expected %d\n" % n, start=start, timeout=120)
        self.assertIsNotNone(done, "round %d was never expected" % n)
        return sorted((int(w), b, int(v), int(e)) for w, b, v, e in
                      self.EXPECT.findall(run.output.text()[start:done.start()]))

    def test_a_stuck_line_acts_alike_on_both_banks(self):
        try:
            self.check_stuck_line()
        except AssertionError:
            if self.injector:
                print("injector:", self.injector.state(), file=sys.stderr)
            raise
        finally:
            self.close_injector()

    def check_stuck_line(self):
        with HostGuard(), SandboxRun(BUILD, [TARGET, str(AREA_MIB), "2"],
                                     128 << 20, stdin=True) as run:
            self.assertTrue(run.output.wait_for(r"ready\n", timeout=60))
            self.fill(run, 0)
            self.assertEqual(self.check(run, 0), [])
            self.injector = Injector(BUILD, run.pid, ["cellcheck", str(AREA_MIB)])
            first = (-int(self.injector.area["bankA"], 16)) % 4096 // 4 + 3 * 1024
            line = range(first, first + 2 * 1024)
            self.command("line L %d %d 16 1" % (first, len(line)))
            # A word of the line, flipped in another bit: the flip shows, the
            # held bit stays held.
            self.fill(run, 1)
            flip = self.command("flip fa A %d 0" % (first + 5))
            checked = self.check(run, 1)
            self.fill(run, 2)
            wrong = self.expect(run, 2)
            self.assertEqual(self.check(run, 2), [], "a line alike in both banks")
            freed = self.command("unstick L")
            self.fill(run, 3)
            after = self.expect(run, 3)
            self.assertTrue(run.running(), "the stand-in died")
        events = self.injector.events
        self.assertEqual(self.injector.errors(), [])
        made = [e for e in events if e["event"] == "line"]
        self.assertEqual([(e["bank"], e["word"], e["words"], e["bit"], e["level"])
                          for e in made],
                         [(bank, str(first), str(len(line)), "16", "1") for bank in "AB"])
        # Making it forced the bit in round 0's words that lacked it.
        lacking = [k for k in line if not value(k, 0) >> 16 & 1]
        self.assertEqual([e["changed"] for e in made], [str(len(lacking))] * 2)
        self.assertEqual(checked, [(first + 5, int(flip["new"], 16), int(flip["old"], 16))])
        self.assertEqual(int(flip["old"], 16) >> 16 & 1, 1)
        self.assertEqual(wrong, sorted(
            (k, bank, value(k, 2) | 1 << 16, value(k, 2))
            for k in line if not value(k, 2) >> 16 & 1 for bank in "AB"))
        self.assertEqual(after, [], "the line was not freed in both banks")
        closing = [e for e in events if e["event"] == "unstick"]
        self.assertEqual([e["bank"] for e in closing], ["A", "B"])
        self.assertEqual(freed, closing[0])
        for event in closing:
            # Rounds 1 and 2 stored to every word of it.
            self.assertGreater(int(event["forced"]), 0, event)
            self.assertGreaterEqual(int(event["stores"]), int(event["forced"]), event)


def burst_events(events, first):
    return [e for e in events if e["event"] == "burst" and e["id"] == first["id"]]


if __name__ == "__main__":
    if not os.path.exists(TARGET):
        # Not the host's doing: the build folder is wrong or not built.
        sys.exit("test_injection: no stand-in tester at %s (LAB_BUILD)" % TARGET)
    lacking = unavailable()
    if lacking:
        print("skipped: the injection test needs " + lacking)
        sys.exit(77)
    unittest.main(verbosity=2)
