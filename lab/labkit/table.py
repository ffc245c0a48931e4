"""The comparison table, and its place in the docs: the fault lab's section of
docs/testing.md, between the lab's markers."""

import os
import re

from labkit.matcher import summarize

MODEL_NAMES = [
    ("flip", "Transient bit flip (one word)"),
    ("stuck", "Stuck-at bit (held after every store)"),
    ("weak", "Weak cell (flips a few times a minute)"),
    ("burst", "Burst (many words of one 4 KiB page)"),
    ("line", "Stuck data line (one bit of every word of its pages, both banks alike)"),
    ("startline", "The same, made before the first test (a run of its own)"),
]

# The page that holds the table, from the source root.
PAGE = os.path.join("docs", "testing.md")
BEGIN = "<!-- faultlab:begin -->"
END = "<!-- faultlab:end -->"


def _duration(seconds):
    if seconds is None:
        return "–"
    return "%.0f ms" % (seconds * 1000) if seconds < 1 else "%.1f s" % seconds


def _cell(summary):
    if summary is None:
        return "–", "–"
    rate = "%d/%d (%d %%)" % (summary.detected, summary.injected,
                              round(100 * summary.rate))
    if summary.not_exercised:
        rate += ", %d not exercised" % summary.not_exercised
    latency = _duration(summary.median_latency)
    return rate, latency


def comparison_table(results):
    """results: [RunResult] of the same plan, one per tester, in order."""
    names = [r.subject for r in results]
    head = ["Fault model"]
    for name in names:
        head += ["%s detected" % name, "%s median time to detect" % name]
    rows = [head, ["---"] * len(head)]
    summaries = [summarize(r.outcomes) for r in results]
    for model, label in MODEL_NAMES:
        row = [label]
        for summary in summaries:
            row += list(_cell(summary.get(model)))
        rows.append(row)
    row = ["False alarms (reports with no fault behind them)"]
    for result in results:
        row += [str(len(result.false_alarms)), ""]
    rows.append(row)
    return "\n".join("| " + " | ".join(row) + " |" for row in rows)


def replace_section(text, section):
    """Puts section between the lab's markers in text (appended if absent)."""
    block = BEGIN + "\n" + section.rstrip() + "\n" + END
    if BEGIN in text and END in text:
        return re.sub(re.escape(BEGIN) + ".*?" + re.escape(END),
                      lambda _: block, text, flags=re.S)
    return text.rstrip() + "\n\n" + block + "\n"


def write_into_page(root, section):
    """Puts section between the markers of the table's page under root;
    returns the page's path."""
    page = os.path.join(root, PAGE)
    with open(page) as f:
        text = f.read()
    with open(page, "w") as f:
        f.write(replace_section(text, section))
    return page
