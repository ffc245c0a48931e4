"""The fault plan: repeatable, and within what the injector can do."""

import dataclasses
import unittest

from labkit.faults import PAGE_WORDS, PlanShape, plan, startup_line

BANK_WORDS = 50_000_000


class PlanTest(unittest.TestCase):
    def test_a_seed_repeats_its_plan(self):
        self.assertEqual(plan(3, BANK_WORDS), plan(3, BANK_WORDS))
        self.assertNotEqual(plan(3, BANK_WORDS), plan(4, BANK_WORDS))

    def test_lines_leave_the_other_faults_as_they_were(self):
        # The other faults' draws for a seed: the same with lines or without
        # them, and as they were before lines existed (seed 7's first of each).
        with_lines = plan(7, BANK_WORDS)
        self.assertEqual([f for f in with_lines if f.model != "line"],
                         plan(7, BANK_WORDS, PlanShape(lines=0)))
        first = {}
        for fault in with_lines:
            first.setdefault(fault.model, fault)
        self.assertEqual({m: (f.word, f.bit, round(f.at, 3)) for m, f in first.items()},
                         {"flip": (14835807, 8, 21.01),
                          "stuck": (1514417, 22, 56.198),
                          "weak": (29569356, 7, 52.62),
                          "burst": (19199, 0, 14.564),
                          "line": (23015, 30, 735.0)})

    def test_a_line_covers_the_same_words_of_both_banks_after_the_rest(self):
        shape = PlanShape(lines=3, line_pages=4)
        faults = plan(5, BANK_WORDS, shape)
        lines = [f for f in faults if f.model == "line"]
        others_end = max(f.at + f.hold for f in faults if f.model != "line")
        self.assertEqual(len(lines), 3)
        ends = [others_end]
        for line in lines:
            self.assertEqual(line.bank, "AB")
            self.assertGreaterEqual(line.at, ends[-1], "two faults at once")
            ends.append(line.at + line.hold)
            (at, make), (_, free) = line.actions(first_page_word=7)
            # One command for both banks: from word 7 + page * 1024 on.
            self.assertEqual(make.split(), ["line", line.id,
                                            str(7 + line.word * PAGE_WORDS),
                                            str(4 * PAGE_WORDS), str(line.bit),
                                            str(line.level)])
            self.assertEqual(free, "unstick " + line.id)
        self.assertLess(ends[-1], shape.run_seconds)
        self.assertEqual({f.level for f in lines}, {0, 1})

    def test_the_start_up_line_is_drawn_apart_from_the_plan(self):
        shape = PlanShape(line_pages=2, startup_hold=12)
        line = startup_line(7, BANK_WORDS, shape)
        self.assertEqual(line, startup_line(7, BANK_WORDS, shape))
        self.assertNotEqual(line, startup_line(8, BANK_WORDS, shape))
        self.assertEqual((line.model, line.at, line.hold, line.pages),
                         ("startline", 0.0, 12, 2))
        (_, make), (_, free) = line.actions(first_page_word=0)
        first, count = int(make.split()[2]), int(make.split()[3])
        self.assertLessEqual(first + count, BANK_WORDS)
        self.assertEqual(free, "unstick u0")

    def test_faults_stay_apart_and_within_the_injectors_means(self):
        shape = PlanShape(minutes=6, stuck=20, stuck_hold=30, line_pages=3)
        faults = plan(11, BANK_WORDS, shape)
        pages = []
        for f in faults:
            if f.model == "line":
                # Two pages clear on either side: a copy test's report names
                # a word beside the line.
                pages += range(f.word - 2, f.word + f.pages + 2)
            else:
                pages.append(f.word if f.model == "burst" else f.word // PAGE_WORDS)
        self.assertEqual(len(pages), len(set(pages)), "two faults share a page")
        for fault in faults:
            self.assertLess(fault.at + fault.hold, shape.run_seconds)
            if fault.model != "line":
                self.assertLess(fault.at + fault.hold, shape.minutes * 60)
            times = [at for at, _ in fault.actions(first_page_word=7)]
            self.assertEqual(times, sorted(times))
            if fault.model == "burst":
                (_, command), = fault.actions(first_page_word=7)
                words = [int(w.split(":")[0]) for w in command.split()[3:]]
                first = 7 + fault.word * PAGE_WORDS
                self.assertTrue(all(first <= w < first + PAGE_WORDS for w in words))
                self.assertLess(max(words), BANK_WORDS)


if __name__ == "__main__":
    unittest.main()
