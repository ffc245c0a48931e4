"""Matches a tester's error reports to the faults that were injected."""

import dataclasses
import statistics

INJECTIONS = ("flip", "burst", "stick", "line")


@dataclasses.dataclass
class Outcome:
    fault_id: str
    model: str
    injected_ns: int        # the first change the fault made
    touched: frozenset      # (bank, word) pairs the fault changed
    injections: list        # the injector's log lines for it
    reports: list
    stores: int = None      # a stuck bit: stores to its word while held (a
    forced: int = None      # line: to its words, in both banks); of those,
    threads: int = None     # the ones whose bit it changed; how many of the
    #                         tester's threads made them (a line: per bank,
    #                         the most)

    @property
    def exercised(self):
        """False for a stuck bit that had nothing to show: making it left the
        word as it was, and no store while it was held had its bit changed
        (none came, or every one left the bit where the fault held it). A
        bit that making the fault changed is wrong in memory from then on,
        stored to or not: the tester can read it. (Not known: counted as
        exercised, so that a miss is never hidden.)"""
        if self.stores is None:
            return True
        changed_when_made = any(
            e["event"] == "stick" and e["old"] != e["new"] or
            e["event"] == "line" and int(e["changed"]) > 0
            for e in self.injections)
        return self.forced > 0 or changed_when_made

    @property
    def detected(self):
        return bool(self.reports)

    @property
    def latency(self):
        """Seconds from the first change to the first report naming it."""
        if not self.reports:
            return None
        return (self.reports[0].t - self.injected_ns) / 1e9


def match(models, events, reports):
    """models: fault id -> model. events: the injector's log.

    Returns (outcomes, false alarms): every fault with the reports that name a
    word it changed, made after it changed it, and the reports that name no
    injected fault at all.
    """
    outcomes = {}
    for event in events:
        if event["event"] == "unstick" and event["id"] in outcomes:
            # A line is freed bank by bank: its counts add up.
            outcome = outcomes[event["id"]]
            outcome.stores = (outcome.stores or 0) + int(event["stores"])
            outcome.forced = (outcome.forced or 0) + int(event["forced"])
            outcome.threads = max(outcome.threads or 0,
                                  int(event.get("threads", 0)))
        if event["event"] not in INJECTIONS:
            continue
        outcome = outcomes.get(event["id"])
        if outcome is None:
            outcome = outcomes[event["id"]] = Outcome(
                event["id"], models.get(event["id"], "?"), event["t"],
                frozenset(), [], [])
        first = int(event["word"])
        outcome.touched |= {(event["bank"], word) for word in
                            range(first, first + int(event.get("words", 1)))}
        outcome.injections.append(event)
        outcome.injected_ns = min(outcome.injected_ns, event["t"])
    false_alarms = []
    for report in reports:
        matched = False
        for outcome in outcomes.values():
            if report.t >= outcome.injected_ns and report.named & outcome.touched:
                outcome.reports.append(report)
                matched = True
        if not matched:
            false_alarms.append(report)
    return list(outcomes.values()), false_alarms


@dataclasses.dataclass
class Summary:
    injected: int          # exercised faults: found or missed
    detected: int
    median_latency: float  # seconds, over the detected ones; None if none
    not_exercised: int = 0  # neither found nor missed

    @property
    def rate(self):
        return self.detected / self.injected if self.injected else 0.0


def summarize(outcomes):
    """model -> Summary."""
    by_model = {}
    for outcome in outcomes:
        by_model.setdefault(outcome.model, []).append(outcome)
    result = {}
    for model, group in by_model.items():
        exercised = [o for o in group if o.exercised]
        latencies = [o.latency for o in exercised if o.detected]
        result[model] = Summary(len(exercised), len(latencies),
                                statistics.median(latencies) if latencies else None,
                                len(group) - len(exercised))
    return result
