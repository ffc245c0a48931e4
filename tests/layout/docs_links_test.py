#!/usr/bin/python3
"""Every relative link of README.md and docs/*.md leads somewhere: the file
or folder it names exists, and the anchor after its "#" is a heading of the
page it names, as GitHub makes anchors of headings.

Pages move and headings get reworded; a link that then leads nowhere is a
reader's dead end that no build notices.

Usage: tests/layout/docs_links_test.py SOURCE_ROOT"""
import os
import re
import sys
import unittest

ROOT = None

FENCE = re.compile(r"^(```|~~~)")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$")
# [text](target) and [text](target "title"); images too (![alt](target)).
INLINE_LINK = re.compile(r"\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
# [label]: target
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+.*)?$")
CODE_SPAN = re.compile(r"(`+).*?\1")
HTML_ANCHOR = re.compile(r"<a\s+(?:name|id)=\"([^\"]+)\"", re.I)


def pages():
    """README.md and docs/*.md, relative to the root."""
    found = ["README.md"]
    docs = os.path.join(ROOT, "docs")
    found += sorted("docs/" + name for name in os.listdir(docs)
                    if name.endswith(".md"))
    return found


def prose_lines(path):
    """(line number, line) for the page's lines outside fenced and
    indented code blocks."""
    with open(os.path.join(ROOT, path)) as f:
        lines = f.read().split("\n")
    fenced = False
    previous_blank = True
    for number, line in enumerate(lines, 1):
        if FENCE.match(line.lstrip()):
            fenced = not fenced
            continue
        indented_code = previous_blank and line.startswith("    ") and \
            not line.lstrip().startswith(("-", "*", "|")) and \
            not re.match(r"\s*\d+\.", line)
        if not fenced and not indented_code:
            yield number, line
        if not indented_code:
            previous_blank = line.strip() == ""


def github_anchor(heading):
    """The anchor GitHub gives a heading: its text as shown (code spans,
    emphasis and links reduced to their text), lowercased, everything but
    letters, digits, "_", "-" and spaces dropped, spaces made "-"."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)
    text = text.replace("`", "")
    text = re.sub(r"<[^>]+>", "", text)
    text = text.lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(path):
    """Every anchor of a page: its headings' (a repeated one numbered -1,
    -2, ... as GitHub does) and its HTML anchors."""
    seen = {}
    found = set()
    for _, line in prose_lines(path):
        heading = HEADING.match(line)
        if heading:
            anchor = github_anchor(heading.group(1))
            count = seen.get(anchor, 0)
            seen[anchor] = count + 1
            found.add(anchor if count == 0 else f"{anchor}-{count}")
        found.update(HTML_ANCHOR.findall(line))
    return found


def links(path):
    """(line number, target) for every link of a page outside code."""
    for number, line in prose_lines(path):
        text = CODE_SPAN.sub("", line)
        for target in INLINE_LINK.findall(text):
            yield number, target
        reference = REFERENCE.match(text)
        if reference:
            yield number, reference.group(1)


def dead_links():
    """(page, line, target, why) for every relative link that leads
    nowhere."""
    dead = []
    for page in pages():
        for number, target in links(page):
            if re.match(r"^[a-z][a-z0-9+.-]*:", target, re.I):
                continue  # https:, mailto: ...: not this tree's
            file_part, _, anchor = target.partition("#")
            linked = os.path.normpath(os.path.join(
                os.path.dirname(page), file_part)) if file_part else page
            if linked.startswith(".."):
                dead.append((page, number, target, "leaves the repository"))
                continue
            if not os.path.exists(os.path.join(ROOT, linked)):
                dead.append((page, number, target, "no such file"))
                continue
            if anchor and not linked.endswith(".md"):
                dead.append((page, number, target, "an anchor in no page"))
            elif anchor and anchor not in anchors(linked):
                dead.append((page, number, target,
                             f"no heading of {linked} has that anchor"))
    return dead


class DocsLinksTest(unittest.TestCase):
    def test_the_anchors_are_githubs(self):
        for heading, anchor in [
                ("Fault lab: does it find bad memory, and how fast?",
                 "fault-lab-does-it-find-bad-memory-and-how-fast"),
                ("Time to 100 % coverage", "time-to-100--coverage"),
                ("The image's files", "the-images-files"),
                ("`base/`", "base"),
                ("Options: unattended runs and the verdict",
                 "options-unattended-runs-and-the-verdict")]:
            self.assertEqual(github_anchor(heading), anchor)

    def test_every_relative_link_resolves(self):
        dead = dead_links()
        self.assertEqual(dead, [], "\n" + "\n".join(
            f"{page}:{number}: ({target}): {why}"
            for page, number, target, why in dead))


if __name__ == "__main__":
    ROOT = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
