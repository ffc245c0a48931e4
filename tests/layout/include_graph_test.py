#!/usr/bin/python3
"""Every room's includes against the allowed graph of rooms, and every CMake
target's links against its includes.

A room is a folder of the source tree (app/, base/, ...; tests/X for the
tests of room X). A room may include its own headers and those of the rooms
ALLOWED names for it, never a higher one: the graph below is the layering of
the program, lowest first. And each CMake target links, directly, the
target of every room whose headers its sources (and, for a room's library,
the room's headers) include: nothing reaches a header through another
target's links or through an include directory of its own.

Usage: tests/layout/include_graph_test.py SOURCE_ROOT"""
import os
import re
import sys
import unittest

ROOT = None

# The rooms of the program, lowest first, with the rooms each may include.
# A room may include only rooms listed before it.
ALLOWED = {
    "base": set(),  # what every layer shares
    "seam": {"base"},  # the kernel seam's roles, header-only
    "tester": {"base"},
    "badmem": {"base"},
    "options": {"base"},
    "sysmem": {"seam", "base"},
    "identity": {"seam", "base"},
    # The memory modules by name and the runs' history.
    "dimms": {"seam", "base"},
    "modules": {"seam", "base"},
    # The boot stick's report partition and the report's files on it.
    "stick": {"modules", "seam", "base"},
    "ecc": {"seam", "base"},
    "sensors": {"seam", "base"},
    "report": {"seam", "base"},
    "net": {"seam", "base"},
    "machinecheck": {"badmem", "seam", "base"},
    "cpus": {"tester", "seam", "base"},
    "speaker": {"modules", "badmem", "seam", "base"},
    # The seam on Linux: only main (and the benchmarks and the lab's
    # stand-ins) include it.
    "platform": {"sysmem", "seam", "base"},
    "console": {"tester", "badmem", "ecc", "sensors", "machinecheck", "seam",
                "base"},
    "run": {"console", "report", "net", "options", "identity", "stick",
            "modules", "sensors", "machinecheck", "badmem", "sysmem", "tester",
            "seam", "base"},
    "app": {"cpus", "run", "console", "platform", "net", "report", "options",
            "identity", "stick", "modules", "ecc", "sensors", "machinecheck",
            "speaker", "badmem",
            "sysmem", "tester", "seam", "base"},
    # Beside the program: the fault lab reads the tester's bank rule and the
    # tunables; the benchmarks run the engine, the schedule and the test
    # area as start-up takes it, and the generator's reference draw of the
    # tests.
    "lab": {"sysmem", "base"},
    "tests/support": {"net", "tester", "badmem", "sysmem", "seam", "base"},
    "bench": {"app", "console", "platform", "tester", "badmem", "sysmem",
              "base", "tests/support"},
    # The fuzzing harnesses drive each parser of outside input on its own.
    "fuzz": {"report", "net", "options", "dimms", "modules", "ecc", "sysmem",
             "seam", "base"},
}

# What the tests of a room may include beyond that room and what it may:
# the test support, and where a test needs a real part of a higher room.
TEST_EXTRAS = {
    # The event log's tests send real datagrams to 127.0.0.1 through the
    # platform's UDP sink.
    "tests/report": {"platform"},
    # The fault lab's stand-in tester takes its area as the program does.
    "tests/lab": {"console", "platform", "base"},
    # The end-to-end tests' own /init, which prints MemTotal, stands alone.
    "tests/e2e": set(),
}

SOURCE = re.compile(r"\.(h|cpp|inc)$")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def room_of(path):
    """The room of a path relative to the root: "app", "tests/run", ...;
    None for a header of no room ("gtest/...")."""
    parts = path.split("/")
    if parts[0] == "tests" and len(parts) > 2:
        return "tests/" + parts[1]
    return parts[0] if len(parts) > 1 else None


def allowed_for(room):
    if room in ALLOWED:
        return ALLOWED[room] | {room}
    tested = room[len("tests/"):]
    mine = ALLOWED.get(tested, set()) | {tested, room, "tests/support"}
    return mine | ALLOWED["tests/support"] | TEST_EXTRAS.get(room, set())


def sources():
    """Every source file of the rooms, relative to the root."""
    for top in sorted(os.listdir(ROOT)):
        if top.startswith(".") or top.startswith("build"):
            continue
        folder = os.path.join(ROOT, top)
        if not os.path.isdir(folder):
            continue
        for here, _, files in os.walk(folder):
            for name in sorted(files):
                if SOURCE.search(name):
                    yield os.path.relpath(os.path.join(here, name), ROOT)


def includes(path):
    with open(os.path.join(ROOT, path), errors="replace") as f:
        return INCLUDE.findall(f.read())


def wrong_includes():
    """(file, included, why) for every include the graph does not allow."""
    wrong = []
    for path in sources():
        room = room_of(path)
        if room is None:
            continue
        if room not in ALLOWED and not room.startswith("tests/"):
            wrong.append((path, "", f"room {room} is not in the graph"))
            continue
        if room.startswith("tests/") and room not in ALLOWED and \
                room[len("tests/"):] not in ALLOWED and room not in TEST_EXTRAS:
            wrong.append((path, "", f"tests of no room: {room}"))
            continue
        for included in includes(path):
            target = room_of(included)
            if target is None or os.path.dirname(included) == "":
                continue
            if target not in allowed_for(room):
                wrong.append((path, included, f"{room} may not include {target}"))
    return wrong


# CMake: the targets, their sources and their links.
COMMAND = re.compile(r"\b(add_library|add_executable|cellcheck_unit_tests|"
                     r"target_link_libraries)\s*\(([^)]*)\)", re.S)


def target_of(room):
    return "cellcheck_test_support" if room == "tests/support" else \
        "cellcheck_" + room


def targets():
    """{name: (cmake file, room, sources, links)} for every target."""
    found = {}
    for here, _, files in os.walk(ROOT):
        rel = os.path.relpath(here, ROOT)
        if rel.startswith("build") or "/." in "/" + rel:
            continue
        if "CMakeLists.txt" not in files:
            continue
        with open(os.path.join(here, "CMakeLists.txt")) as f:
            text = re.sub(r"#[^\n]*", "", f.read())
        for command, args in COMMAND.findall(text):
            words = args.split()
            if not words:
                continue
            name = words[0]
            if command == "target_link_libraries":
                entry = found.setdefault(name, [rel, set(), set()])
                entry[2].update(w for w in words[1:] if w.startswith("cellcheck_"))
            else:
                entry = found.setdefault(name, [rel, set(), set()])
                entry[0] = rel
                entry[1].update(os.path.normpath(os.path.join(rel, w))
                                for w in words[1:] if SOURCE.search(w))
    return found


def missing_links():
    """(target, room) for every room a target includes but does not link."""
    rooms = set(ALLOWED) | {"seam"}
    missing = []
    for name, (folder, files, links) in sorted(targets().items()):
        own = {room_of(path) for path in files}
        own = own.pop() if len(own) == 1 else room_of(folder + "/x")
        paths = set(files)
        if name == target_of(own):
            # A room's library answers for the room's headers too.
            paths |= {p for p in sources()
                      if room_of(p) == own and p.endswith(".h")}
        needed = set()
        for path in paths:
            if not os.path.exists(os.path.join(ROOT, path)):
                continue
            for included in includes(path):
                room = room_of(included)
                if room in rooms and room != own:
                    needed.add(room)
        for room in sorted(needed):
            if target_of(room) not in links:
                missing.append((name, room))
    return missing


class IncludeGraphTest(unittest.TestCase):
    def test_the_graph_is_layered(self):
        order = list(ALLOWED)
        for room, below in ALLOWED.items():
            for other in below:
                self.assertIn(other, order, f"{room} names unknown room {other}")
                self.assertLess(order.index(other), order.index(room),
                                f"{room} may include {other}, which is not below it")

    def test_every_include_is_allowed(self):
        wrong = wrong_includes()
        self.assertEqual(wrong, [], "\n" + "\n".join(
            f"{path}: #include \"{included}\": {why}"
            for path, included, why in wrong))

    def test_every_target_links_what_it_includes(self):
        missing = missing_links()
        self.assertEqual(missing, [], "\n" + "\n".join(
            f"{name} includes {room}/ but does not link {target_of(room)}"
            for name, room in missing))

    def test_no_include_directory_for_all(self):
        for here, _, files in os.walk(ROOT):
            if os.path.relpath(here, ROOT).startswith("build"):
                continue
            if "CMakeLists.txt" in files:
                with open(os.path.join(here, "CMakeLists.txt")) as f:
                    self.assertNotRegex(
                        re.sub(r"#[^\n]*", "", f.read()),
                        r"\binclude_directories\s*\(",
                        os.path.join(here, "CMakeLists.txt"))


if __name__ == "__main__":
    ROOT = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
