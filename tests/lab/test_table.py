"""The comparison table's page: the lab writes its table between markers
there, and nothing else of the page may change."""

import os
import tempfile
import unittest

from labkit import table

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))


class TablePageTest(unittest.TestCase):
    def test_the_page_holds_each_marker_once_in_order(self):
        with open(os.path.join(ROOT, table.PAGE)) as f:
            text = f.read()
        self.assertEqual(text.count(table.BEGIN), 1)
        self.assertEqual(text.count(table.END), 1)
        self.assertLess(text.index(table.BEGIN), text.index(table.END))

    def test_a_new_table_replaces_only_what_lies_between_the_markers(self):
        with open(os.path.join(ROOT, table.PAGE)) as f:
            text = f.read()
        before = text[:text.index(table.BEGIN)]
        after = text[text.index(table.END) + len(table.END):]
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.dirname(os.path.join(root, table.PAGE)))
            with open(os.path.join(root, table.PAGE), "w") as f:
                f.write(text)
            page = table.write_into_page(root, "| new | table |\n")
            with open(page) as f:
                written = f.read()
        self.assertEqual(written, before + table.BEGIN + "\n| new | table |\n"
                         + table.END + after)


if __name__ == "__main__":
    unittest.main()
