"""Matching reports to injected faults: detection, time, false alarms."""

import unittest

from labkit.matcher import match, summarize
from labkit.reports import Report


def injection(fault_id, t, bank, word, event="flip"):
    return {"t": t, "event": event, "id": fault_id, "bank": bank,
            "word": str(word), "bit": "3", "old": "0x0", "new": "0x8"}


def report(t, *named):
    return Report(t, "test", frozenset(named))


class MatcherTest(unittest.TestCase):
    def test_a_report_names_a_fault_only_in_the_bank_it_blames(self):
        # A copy test's report names word 10 of bank A and word 7 of bank B.
        copy_report = report(5_000_000_000, ("A", 10), ("B", 7))
        outcomes, false_alarms = match(
            {"a": "flip", "b": "flip"},
            [injection("a", 1_000_000_000, "A", 7),
             injection("b", 1_000_000_000, "B", 7)],
            [copy_report])
        by_id = {o.fault_id: o for o in outcomes}
        self.assertFalse(by_id["a"].detected)
        self.assertEqual(by_id["b"].reports, [copy_report])
        self.assertAlmostEqual(by_id["b"].latency, 4.0)
        self.assertEqual(false_alarms, [])

    def test_a_report_before_the_fault_or_elsewhere_is_a_false_alarm(self):
        early = report(1_000, ("A", 7), ("B", 7))
        elsewhere = report(9_000, ("A", 8), ("B", 8))
        outcomes, false_alarms = match({"a": "stuck"},
                                       [injection("a", 2_000, "A", 7, "stick")],
                                       [early, elsewhere])
        self.assertFalse(outcomes[0].detected)
        self.assertEqual(false_alarms, [early, elsewhere])

    def test_a_fault_of_many_injections_counts_from_its_first(self):
        # A weak cell flips three times; a burst changes two words at once.
        events = [injection("w", t, "B", 3) for t in (1_000, 5_000, 9_000)]
        events += [injection("b", 2_000, "A", w, "burst") for w in (100, 101)]
        outcomes, _ = match({"w": "weak", "b": "burst"}, events,
                            [report(6_000, ("A", 3), ("B", 3)),
                             report(7_000, ("A", 101), ("B", 101))])
        by_id = {o.fault_id: o for o in outcomes}
        self.assertEqual(by_id["w"].injected_ns, 1_000)
        self.assertAlmostEqual(by_id["w"].latency, 5e-6)
        self.assertEqual(by_id["b"].touched, {("A", 100), ("A", 101)})
        self.assertAlmostEqual(by_id["b"].latency, 5e-6)

    def test_summary_per_model(self):
        outcomes, _ = match(
            {"f1": "flip", "f2": "flip", "f3": "flip"},
            [injection("f1", 0, "A", 1), injection("f2", 0, "A", 2),
             injection("f3", 0, "A", 3)],
            [report(1_000_000_000, ("A", 1)), report(3_000_000_000, ("A", 3))])
        flips = summarize(outcomes)["flip"]
        self.assertEqual((flips.injected, flips.detected), (3, 2))
        self.assertAlmostEqual(flips.median_latency, 2.0)

    def test_a_stuck_bit_with_nothing_to_show_is_neither_found_nor_missed(self):
        def made(fault_id, word, changed):
            event = injection(fault_id, 0, "A", word, "stick")
            event["new"] = "0x8" if changed else "0x0"
            return event

        def freed(fault_id, stores, forced):
            return {"t": 9, "event": "unstick", "id": fault_id,
                    "stores": str(stores), "forced": str(forced)}
        # (made changed the word, stores, forced) -> exercised
        cases = {
            "changed when made, never stored to": ((True, 0, 0), True),
            "every store at the held level": ((False, 9, 0), False),
            "a store forced": ((False, 5, 2), True),
            "changed when made, then stored to": ((True, 3, 0), True),
            "never stored to": ((False, 0, 0), False),
        }
        events, models = [], {}
        for n, (name, ((changed, stores, forced), _)) in enumerate(cases.items()):
            events += [made(name, n, changed), freed(name, stores, forced)]
            models[name] = "stuck"
        # Never freed (the injector died): its stores are not known.
        events.append(made("unknown", 99, False))
        models["unknown"] = "stuck"
        outcomes, _ = match(models, events, [report(5, ("A", 2), ("B", 2))])
        by_id = {o.fault_id: o for o in outcomes}
        for name, (_, exercised) in cases.items():
            self.assertEqual(by_id[name].exercised, exercised, name)
        self.assertTrue(by_id["unknown"].exercised)
        self.assertEqual((by_id["a store forced"].stores,
                          by_id["a store forced"].forced), (5, 2))
        stuck = summarize(outcomes)["stuck"]
        self.assertEqual((stuck.injected, stuck.detected, stuck.not_exercised),
                         (4, 1, 2))
    def test_a_stuck_line_is_named_by_any_of_its_words_in_either_bank(self):
        def made(bank, changed):
            return {"t": 1_000, "event": "line", "id": "l", "bank": bank,
                    "word": "2048", "words": "1024", "bit": "5", "level": "1",
                    "changed": str(changed)}

        def freed(bank, stores, forced, threads):
            return {"t": 9_000, "event": "unstick", "id": "l", "bank": bank,
                    "stores": str(stores), "forced": str(forced),
                    "threads": str(threads)}
        word_b = Report(3_000, "word", frozenset({("B", 3071)}))
        # A copy test names a word beside the line in bank A and one in it in
        # bank B.
        either = report(4_000, ("A", 3072), ("B", 2900))
        word_a = Report(5_000, "word", frozenset({("A", 2048)}))
        beside = Report(6_000, "word", frozenset({("A", 3072)}))
        outcomes, false_alarms = match(
            {"l": "line"},
            [made("A", 0), made("B", 3), freed("A", 40, 7, 1), freed("B", 50, 0, 2)],
            [word_b, either, word_a, beside])
        (line,) = outcomes
        self.assertEqual(line.reports, [word_b, either, word_a])
        self.assertEqual(false_alarms, [beside])
        self.assertEqual(len(line.touched), 2048)
        self.assertEqual((line.stores, line.forced, line.threads), (90, 7, 2))
        self.assertAlmostEqual(line.latency, 2e-6)

    def test_a_stuck_line_with_nothing_to_show(self):
        # (words its making changed per bank, forced per bank) -> exercised
        cases = [(((0, 0), (0, 0)), False), (((0, 1), (0, 0)), True),
                 (((0, 0), (0, 4)), True)]
        for (changed, forced), exercised in cases:
            events = []
            for bank, c, f in zip("AB", changed, forced):
                events.append({"t": 0, "event": "line", "id": "l", "bank": bank,
                               "word": "0", "words": "1024", "changed": str(c)})
                events.append({"t": 1, "event": "unstick", "id": "l",
                               "bank": bank, "stores": "9", "forced": str(f)})
            (line,), _ = match({"l": "line"}, events, [])
            self.assertEqual(line.exercised, exercised, (changed, forced))


if __name__ == "__main__":
    unittest.main()
