"""The error reports of a tester's output, each with the words it names."""

import dataclasses
import re


@dataclasses.dataclass(frozen=True)
class Report:
    t: int           # ns, CLOCK_MONOTONIC: when its line arrived
    kind: str
    named: frozenset  # (bank, 32-bit word index) pairs it blames
    values: tuple = None  # (bank A value, bank B value) where it gives them
    text: str = ""


# Cellcheck: word pair i (either bank), or word a of bank A / b of bank B
# after a copy between the banks.
_PAIR = re.compile(
    r"Error found with word pair# (\d+), values (\d+), (\d+) do not match")
_EITHER = re.compile(
    r"Error found with word pair# (\d+) or (\d+) \(either could be the source\)")
_COUNT = re.compile(r"Error (\d+), after +(\d+) % coverage")

# Cellcheck's checks against the value a word should hold (the start-up
# sweep, the complement test) name one word of one bank.
WORD_ERROR = re.compile(
    r"Error found with word# (\d+) of bank ([AB]), value (\d+) read where "
    r"(\d+) was written")
# The line after every error's two lines, where the physical address is not
# known (a pair's, a word's), and the start of one that names an address.
ADDRESS_UNKNOWN = re.compile(
    r"Bank (?:A and bank B|[AB]): physical address unknown; bits 0x")
ADDRESS_NAMED = re.compile(r"Physical address(?:es)?: bank [AB] 0x")


def cellcheck_reports(output):
    found = []
    text = output.text()
    for match in _PAIR.finditer(text):
        i = int(match.group(1))
        found.append((match, Report(
            output.time_at(match.end()), "pair",
            frozenset({("A", i), ("B", i)}),
            (int(match.group(2)), int(match.group(3))), match.group(0))))
    for match in _EITHER.finditer(text):
        a, b = int(match.group(1)), int(match.group(2))
        found.append((match, Report(output.time_at(match.end()), "either",
                                    frozenset({("A", a), ("B", b)}),
                                    None, match.group(0))))
    for match in WORD_ERROR.finditer(text):
        found.append((match, Report(
            output.time_at(match.end()), "word",
            frozenset({(match.group(2), int(match.group(1)))}), None,
            match.group(0))))
    return [report for _, report in sorted(found, key=lambda f: f[0].start())]


def cellcheck_error_numbers(output):
    """The numbers of the "Error N, after ..." lines, in order."""
    return [int(m.group(1)) for m in _COUNT.finditer(output.text())]


# memtester compares its two halves in 64-bit words and names the byte offset
# of the word within a half (first value: first half). Its address test names
# the offset from the start of the first half, through both halves.
_FAILURE = re.compile(
    r"FAILURE: 0x([0-9a-f]+) != 0x([0-9a-f]+) at offset 0x([0-9a-f]+)\.")
_ADDRESS = re.compile(r"FAILURE: possible bad address line at offset 0x([0-9a-f]+)\.")


def _words_of(bank, offset):
    return {(bank, offset // 8 * 2), (bank, offset // 8 * 2 + 1)}


def memtester_reports(output, half_bytes):
    found = []
    text = output.text()
    for match in _FAILURE.finditer(text):
        offset = int(match.group(3), 16)
        found.append((match, Report(
            output.time_at(match.end()), "offset",
            frozenset(_words_of("A", offset) | _words_of("B", offset)),
            (int(match.group(1), 16), int(match.group(2), 16)),
            match.group(0))))
    for match in _ADDRESS.finditer(text):
        offset = int(match.group(1), 16)
        named = (_words_of("A", offset) if offset < half_bytes
                 else _words_of("B", offset - half_bytes))
        found.append((match, Report(output.time_at(match.end()), "address",
                                    frozenset(named), None, match.group(0))))
    return [report for _, report in sorted(found, key=lambda f: f[0].start())]
