"""The short lab's check of the physical addresses in error reports: inside
the sandbox the program cannot know them and must say so."""

import unittest

from labkit.ci import address_problems

UNKNOWN = "Bank A and bank B: physical address unknown; bits 0x00000200 differ\n\r"
NAMED = ("Physical addresses: bank A 0x12345678, bank B 0x9abcdef0 (either could "
         "be bad); bits 0x00000200 differ\n\r")
PAIR = "\n\rError found with word pair# 7, values 5, 4 do not match\n\rError 1, after  3 % coverage\n\r"
WORD = ("\n\rError found with word# 7 of bank A, value 5 read where 4 was written"
        "\n\rError 2, after  3 % coverage\n\r")
WORD_UNKNOWN = "Bank A: physical address unknown; bits 0x00000001 differ\n\r"
WORD_NAMED = ("Physical address: bank A 0x12345678 (this word is bad); bits "
              "0x00000001 differ\n\r")


class AddressProblemsTest(unittest.TestCase):
    def test_each_report_says_unknown(self):
        self.assertEqual(address_problems(PAIR + UNKNOWN + PAIR + UNKNOWN, [1, 2]), [])
        self.assertEqual(address_problems(PAIR + UNKNOWN + WORD + WORD_UNKNOWN,
                                          [1, 2]), [])

    def test_no_errors_no_lines(self):
        self.assertEqual(address_problems("Test area: 400 MiB\n", []), [])

    def test_a_missing_line_is_a_problem(self):
        self.assertEqual(len(address_problems(PAIR + UNKNOWN + PAIR, [1, 2])), 1)

    def test_a_named_address_is_a_problem(self):
        for text in (PAIR + NAMED, WORD + WORD_NAMED):
            problems = address_problems(text, [1])
            self.assertTrue(any("named" in p for p in problems), (text, problems))


if __name__ == "__main__":
    unittest.main()
