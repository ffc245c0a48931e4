"""The fault models and a seeded plan of faults for one run.

Positions are given in 32-bit words of a bank, and the same plan is used for
every tester compared, so each one meets the same faults at the same times
after it has begun testing.

A stuck data line acts alike on both words of every pair it covers. Its
holding costs the tester a stop per store to its pages, so the lines come
after every other fault has ended, one at a time, drawn from a stream of
their own: the other faults' places and times for a seed are those they had
before lines existed.
"""

import dataclasses
import random

PAGE_WORDS = 1024  # 32-bit words in a 4 KiB page


@dataclasses.dataclass(frozen=True)
class Fault:
    id: str
    model: str       # "flip", "stuck", "weak", "burst" or "line"
    bank: str        # "A" or "B"; a line: "AB"
    at: float        # seconds after the tester began testing
    word: int = 0    # flip, stuck, weak: the word; burst, line: the page
    bit: int = 0
    level: int = 0   # stuck, line: the value the bit is held at
    hold: float = 0  # stuck, line: seconds held
    pages: int = 0   # line: how many pages, from `word` on
    flips: tuple = ()  # weak: seconds after `at` of each flip
    burst: tuple = ()  # burst: (word within the page, bit) of each flip

    def actions(self, first_page_word):
        """(seconds after the start of testing, injector command) pairs.

        first_page_word: the bank's first word that starts a 4 KiB page of
        the tester's memory, so that a burst stays within one real page (a
        line: bank A's; it covers the same words of bank B).
        """
        if self.model == "flip":
            return [(self.at, "flip %s %s %d %d" % (self.id, self.bank,
                                                    self.word, self.bit))]
        if self.model == "stuck":
            return [(self.at, "stick %s %s %d %d %d" % (
                self.id, self.bank, self.word, self.bit, self.level)),
                    (self.at + self.hold, "unstick " + self.id)]
        if self.model == "weak":
            return [(self.at + offset, "flip %s %s %d %d" % (
                self.id, self.bank, self.word, self.bit)) for offset in self.flips]
        if self.model in ("line", "startline"):
            return [(self.at, "line %s %d %d %d %d" % (
                self.id, first_page_word + self.word * PAGE_WORDS,
                self.pages * PAGE_WORDS, self.bit, self.level)),
                    (self.at + self.hold, "unstick " + self.id)]
        base = first_page_word + self.word * PAGE_WORDS
        words = " ".join("%d:%d" % (base + w, bit) for w, bit in self.burst)
        return [(self.at, "burst %s %s %s" % (self.id, self.bank, words))]


@dataclasses.dataclass(frozen=True)
class PlanShape:
    """How many faults of each model, and how they behave."""
    minutes: float = 12.0      # testing time after which the run ends
    lead: float = 10.0         # quiet seconds before the first fault
    flips: int = 20
    stuck: int = 12
    stuck_hold: float = 20.0
    weak: int = 6
    weak_active: float = 120.0
    weak_per_minute: float = 3.0
    bursts: int = 12
    burst_words: int = 32
    lines: int = 4
    line_pages: int = 1        # each held stops the tester at every store
    line_hold: float = 45.0
    line_gap: float = 15.0     # quiet seconds before each line and at the end
    startup_hold: float = 30.0  # the start-up line: seconds into testing

    @property
    def run_seconds(self):
        """Testing time in all: the other faults' minutes, then the lines."""
        return (self.minutes * 60.0 +
                self.lines * (self.line_gap + self.line_hold) + self.line_gap)


def plan(seed, bank_words, shape=PlanShape()):
    """Faults spread over the run, alternating banks, none sharing a page.

    bank_words: words per bank that every tester compared has.
    """
    rng = random.Random(seed)
    pages = bank_words // PAGE_WORDS - 2
    end = shape.minutes * 60.0
    used_pages = set()

    def fresh_page():
        while True:
            page = rng.randrange(pages)
            if page not in used_pages:
                used_pages.add(page)
                return page

    def fresh_word():
        return fresh_page() * PAGE_WORDS + rng.randrange(PAGE_WORDS)

    def times(count, last):
        """Start times spread evenly over [lead, last], with jitter."""
        step = (last - shape.lead) / count
        return [shape.lead + (i + rng.random()) * step for i in range(count)]

    faults = []
    for i, at in enumerate(times(shape.flips, end - 30)):
        faults.append(Fault("f%d" % i, "flip", "AB"[i % 2], at, fresh_word(),
                            rng.randrange(32)))
    stuck_last = end - shape.stuck_hold - 30
    for i, at in enumerate(times(shape.stuck, stuck_last)):
        faults.append(Fault("s%d" % i, "stuck", "AB"[i % 2], at, fresh_word(),
                            rng.randrange(32), level=rng.randrange(2),
                            hold=shape.stuck_hold))
    for i, at in enumerate(times(shape.weak, end - shape.weak_active - 30)):
        flips, t = [], 0.0
        while True:
            t += rng.expovariate(shape.weak_per_minute / 60.0)
            if t > shape.weak_active:
                break
            flips.append(t)
        faults.append(Fault("w%d" % i, "weak", "AB"[i % 2], at, fresh_word(),
                            rng.randrange(32), hold=shape.weak_active,
                            flips=tuple(flips or [0.0])))
    for i, at in enumerate(times(shape.bursts, end - 30)):
        offsets = rng.sample(range(PAGE_WORDS), shape.burst_words)
        faults.append(Fault("b%d" % i, "burst", "AB"[i % 2], at, fresh_page(),
                            burst=tuple((w, rng.randrange(32)) for w in sorted(offsets))))
    return faults + lines(seed, pages, used_pages, shape)


def startup_line(seed, bank_words, shape=PlanShape()):
    """A stuck data line for a run of its own: made as the tester prepares its
    memory, before its first test, and held until `hold` seconds after it
    began testing. `at` is 0: the moment it is made."""
    rng = random.Random("start-up line %d" % seed)
    page = rng.randrange(bank_words // PAGE_WORDS - 2 - shape.line_pages)
    return Fault("u0", "startline", "AB", 0.0, page, rng.randrange(32),
                 level=rng.randrange(2), hold=shape.startup_hold,
                 pages=shape.line_pages)


def lines(seed, pages, used_pages, shape):
    """Stuck data lines, one after another once the other faults are over,
    each on pages two or more away from any other fault's (a copy test names
    a word beside the line with one in it)."""
    rng = random.Random("lines %d" % seed)
    taken = {p + d for p in used_pages for d in range(-2, 3)}
    found = []
    at = shape.minutes * 60.0
    for i in range(shape.lines):
        while True:
            page = rng.randrange(pages - shape.line_pages)
            span = range(page - 2, page + shape.line_pages + 2)
            if not taken.intersection(span):
                break
        taken.update(span)
        at += shape.line_gap
        found.append(Fault("l%d" % i, "line", "AB", at, page, rng.randrange(32),
                           level=i % 2, hold=shape.line_hold,
                           pages=shape.line_pages))
        at += shape.line_hold
    return found
