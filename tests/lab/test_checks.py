"""The short lab's check of the physical addresses in error reports: inside
the sandbox the program cannot know them and must say so."""

import unittest

from labkit.ci import address_problems

UNKNOWN = "Bank A and bank B: physical address unknown; bits 0x00000200 differ\n\r"
NAMED = ("Physical addresses: bank A 0x12345678, bank B 0x9abcdef0 (either could "
         "be bad); bits 0x00000200 differ\n\r")
PAIR = "\n\rError found with word pair# 7, values 5, 4 do not match\n\rError 1, after  3 % coverage\n\r"


class AddressProblemsTest(unittest.TestCase):
    def test_each_report_says_unknown(self):
        self.assertEqual(address_problems(PAIR + UNKNOWN + PAIR + UNKNOWN, [1, 2]), [])

    def test_no_errors_no_lines(self):
        self.assertEqual(address_problems("Test area: 400 MiB\n", []), [])

    def test_a_missing_line_is_a_problem(self):
        self.assertEqual(len(address_problems(PAIR + UNKNOWN + PAIR, [1, 2])), 1)

    def test_a_named_address_is_a_problem(self):
        problems = address_problems(PAIR + NAMED, [1])
        self.assertTrue(any("named" in p for p in problems), problems)


if __name__ == "__main__":
    unittest.main()
