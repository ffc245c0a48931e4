"""Reading error reports out of console output as it arrived in pieces."""

import unittest

from labkit.output import Output
from labkit.reports import cellcheck_reports, memtester_reports


def output_of(*chunks):
    """Output that arrived in these pieces, piece i at time i * 1000 ns."""
    output = Output()
    for i, chunk in enumerate(chunks):
        output.feed(chunk, at_ns=i * 1000)
    return output


class CellcheckReportsTest(unittest.TestCase):
    def test_both_formats_amid_progress_lines_and_split_reads(self):
        output = output_of(
            b"\r    3% coverage,  0 errors [##----]/",
            b"\n\rError found with word pair# 17, values 5, 4 do not",
            b" match\n\rError 1, after  3 % coverage\n\r\r    3% cov",
            b"erage,  1 errors [##----]\\\n\rError found with word pair# 1029 or 5 "
            b"(either could be the source)\n\rError 2, after  4 % coverage\n\r")
        reports = cellcheck_reports(output)
        self.assertEqual([r.kind for r in reports], ["pair", "either"])
        pair, either = reports
        self.assertEqual(pair.named, {("A", 17), ("B", 17)})
        self.assertEqual(pair.values, (5, 4))
        self.assertEqual(pair.t, 2000)  # the piece in which the line ended
        # A copy test names a word of each bank: 1029 of A, 5 of B.
        self.assertEqual(either.named, {("A", 1029), ("B", 5)})
        self.assertIsNone(either.values)
        self.assertEqual(either.t, 3000)

    def test_a_check_against_the_written_value_names_one_word_of_one_bank(self):
        output = output_of(
            b"\r    9% coverage,  0 errors [##----]/\n\rError found with word# 4096 "
            b"of bank B, value 4294967295 read where 2147483647 was written\n\r",
            b"Error 1, after  9 % coverage\n\rBank B: physical address unknown; "
            b"bits 0x80000000 differ\n\rError found with word pair# 4096, values "
            b"1, 3 do not match\n\r")
        word, pair = cellcheck_reports(output)
        self.assertEqual((word.kind, word.named, word.t), ("word", {("B", 4096)}, 0))
        self.assertIsNone(word.values)
        self.assertEqual(pair.named, {("A", 4096), ("B", 4096)})

    def test_full_32_bit_values(self):
        output = output_of(b"\n\rError found with word pair# 0, values 4294967295, "
                           b"2147483647 do not match\n\r")
        self.assertEqual(cellcheck_reports(output)[0].values,
                         (4294967295, 2147483647))


class MemtesterReportsTest(unittest.TestCase):
    HALF = 1000000  # bytes between the starts of its two halves

    def test_compare_failure_names_the_64_bit_word_in_both_halves(self):
        output = output_of(b"  Compare XOR     : \b\b\b",
                           b"FAILURE: 0x0000001000000001 != 0x0000000000000001 "
                           b"at offset 0x0000000000000fa0.\n")
        (report,) = memtester_reports(output, self.HALF)
        # Byte 4000 is 32-bit words 1000 and 1001 of either half.
        self.assertEqual(report.named, {("A", 1000), ("A", 1001),
                                        ("B", 1000), ("B", 1001)})
        self.assertEqual(report.values, (0x1000000001, 1))

    def test_address_failure_counts_through_both_halves(self):
        output = output_of(
            b"testing   3FAILURE: possible bad address line at offset 0x10.\n"
            b"Skipping to next test...\n",
            b"testing   1FAILURE: possible bad address line at offset 0xf4250.\n")
        first, second = memtester_reports(output, self.HALF)
        self.assertEqual(first.named, {("A", 4), ("A", 5)})
        self.assertEqual(second.named, {("B", 4), ("B", 5)})  # 0xf4250 = HALF + 16


if __name__ == "__main__":
    unittest.main()
