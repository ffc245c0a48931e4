"""The fault plan: repeatable, and within what the injector can do."""

import unittest

from labkit.faults import PAGE_WORDS, PlanShape, plan

BANK_WORDS = 50_000_000


class PlanTest(unittest.TestCase):
    def test_a_seed_repeats_its_plan(self):
        self.assertEqual(plan(3, BANK_WORDS), plan(3, BANK_WORDS))
        self.assertNotEqual(plan(3, BANK_WORDS), plan(4, BANK_WORDS))

    def test_faults_stay_apart_and_within_the_injectors_means(self):
        shape = PlanShape(minutes=6, stuck=20, stuck_hold=30)
        faults = plan(11, BANK_WORDS, shape)
        pages = [f.word if f.model == "burst" else f.word // PAGE_WORDS
                 for f in faults]
        self.assertEqual(len(pages), len(set(pages)), "two faults share a page")
        for fault in faults:
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
