#!/usr/bin/python3
"""The graph of rooms, as the build writes it, against the includes and the
documentation.

A room is a folder of the source tree (app/, base/, ...; tests/X for the
tests of room X, tests/support for what they share). The build is the one
place the graph is written: the root CMakeLists.txt lists the rooms lowest
first (its add_subdirectory calls), and each room's targets link the rooms
it may include (target_link_libraries, cellcheck_X for room X). This test
checks that graph:
- every link goes to a room listed before the linking one, and only app/ and
  the tools beside the program reach platform/ (the seam on Linux);
- every include of a room's files is of a room it links, and each target
  links, directly, the room of every header its sources (and, for a room's
  library, the room's headers) include: nothing reaches a header through
  another target's links or through an include directory of its own;
- every link is needed by an include of that target: a link nothing includes
  would grant a room it does not use;
- the rooms of the program are documented in the same order (the list of
  docs/architecture.md, or README.md's Layout where that page is missing).

Usage: tests/layout/include_graph_test.py SOURCE_ROOT"""
import os
import re
import sys
import unittest

ROOT = None

# The room the root CMakeLists.txt's add_subdirectory(tests) stands for in
# the order: the test support, below the benchmarks that use it.
TESTS_ROOM = "tests/support"
# The highest room of the program; the rooms after it in the build's order
# are the tools beside it (the lab, the tests, the benchmarks, the fuzzers).
TOP_ROOM = "app"
# The seam on Linux: only main (and the tools beside the program) make one.
PLATFORM_ROOM = "platform"

# What the tests of a room may include beyond that room, what it links and
# the test support: where a test needs a real part of a higher room.
TEST_EXTRAS = {
    # The event log's tests send real datagrams to 127.0.0.1 through the
    # platform's UDP sink.
    "tests/events": {"platform"},
    # The report's tests run the console's tester to make its errors.
    "tests/stickreport": {"console"},
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


def cmake_text(folder):
    """A CMakeLists.txt without its comments."""
    with open(os.path.join(ROOT, folder, "CMakeLists.txt")) as f:
        return re.sub(r"#[^\n]*", "", f.read())


def room_order():
    """The rooms, lowest first, as the root CMakeLists.txt adds them."""
    found = re.findall(r"\badd_subdirectory\s*\(\s*([\w/]+)\s*\)",
                       cmake_text("."))
    return [TESTS_ROOM if room == "tests" else room for room in found]


def program_rooms():
    order = room_order()
    return order[:order.index(TOP_ROOM) + 1]


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


# CMake: the targets, their sources and their links. cellcheck_unit_tests
# (tests/) and cellcheck_fuzzer (fuzz/) are the tree's own shorthands for a
# test program and a fuzzing harness.
COMMAND = re.compile(r"\b(add_library|add_executable|cellcheck_unit_tests|"
                     r"cellcheck_fuzzer|target_link_libraries)\s*\(([^)]*)\)",
                     re.S)


def target_of(room):
    return "cellcheck_test_support" if room == TESTS_ROOM else \
        "cellcheck_" + room


def room_of_target(name):
    """The room whose library (or program) `name` is; None for others."""
    if name == "cellcheck_test_support":
        return TESTS_ROOM
    if name.startswith("cellcheck_"):
        return name[len("cellcheck_"):]
    return None


def targets():
    """{name: [cmake folder, sources, rooms linked]} for every target."""
    found = {}
    for here, _, files in os.walk(ROOT):
        rel = os.path.relpath(here, ROOT)
        if rel.startswith("build") or "/." in "/" + rel:
            continue
        if "CMakeLists.txt" not in files:
            continue
        for command, args in COMMAND.findall(cmake_text(rel)):
            words = args.split()
            if not words or (command == "cellcheck_fuzzer" and
                             words[0] == "name"):
                continue  # the function's own definition
            name = words[0]
            links = words[1:]
            if command == "cellcheck_fuzzer":
                name = words[0] + "_fuzzer"
                entry = found.setdefault(name, [rel, set(), set()])
                entry[1].add(os.path.normpath(
                    os.path.join(rel, name + ".cpp")))
            elif command == "target_link_libraries":
                entry = found.setdefault(name, [rel, set(), set()])
            else:
                entry = found.setdefault(name, [rel, set(), set()])
                entry[0] = rel
                entry[1].update(os.path.normpath(os.path.join(rel, w))
                                for w in words[1:] if SOURCE.search(w))
                links = []
            entry[2].update(room_of_target(w) for w in links
                            if room_of_target(w) is not None)
    return found


def own_room(name, folder, files):
    """The room a target belongs to: its library's, else its sources'."""
    if name == target_of(TESTS_ROOM):
        return TESTS_ROOM
    rooms = {room_of(path) for path in files}
    return rooms.pop() if len(rooms) == 1 else room_of(folder + "/x")


def links():
    """{room: the rooms its targets link} for the rooms of the build's
    order: the graph of rooms."""
    graph = {room: set() for room in room_order()}
    for name, (folder, files, linked) in targets().items():
        room = TESTS_ROOM if name == target_of(TESTS_ROOM) else \
            room_of(folder + "/x")
        if room in graph:
            graph[room] |= linked - {room}
    return graph


def allowed_for(room, graph):
    if room in graph:
        return graph[room] | {room}
    tested = room[len("tests/"):]
    mine = graph.get(tested, set()) | {tested, room, TESTS_ROOM}
    return mine | graph[TESTS_ROOM] | TEST_EXTRAS.get(room, set())


def wrong_includes():
    """(file, included, why) for every include the graph does not allow."""
    graph = links()
    wrong = []
    for path in sources():
        room = room_of(path)
        if room is None:
            continue
        if room not in graph and not room.startswith("tests/"):
            wrong.append((path, "", f"room {room} is not in the build"))
            continue
        if room.startswith("tests/") and room not in graph and \
                room[len("tests/"):] not in graph and room not in TEST_EXTRAS:
            wrong.append((path, "", f"tests of no room: {room}"))
            continue
        for included in includes(path):
            target = room_of(included)
            if target is None or os.path.dirname(included) == "":
                continue
            if target not in allowed_for(room, graph):
                wrong.append((path, included, f"{room} does not link {target}"))
    return wrong


def needed_rooms(name, folder, files):
    """The rooms a target's sources (and, for a room's library, the room's
    headers) include, its own left out."""
    rooms = set(room_order())
    own = own_room(name, folder, files)
    paths = set(files)
    if name == target_of(own):
        # A room's library answers for the room's headers too.
        paths |= {p for p in sources() if room_of(p) == own and
                  p.endswith((".h", ".inc"))}
    needed = set()
    for path in paths:
        if not os.path.exists(os.path.join(ROOT, path)):
            continue
        for included in includes(path):
            room = room_of(included)
            if room in rooms and room != own:
                needed.add(room)
    return needed


def link_faults():
    """(target, room, what) for every room a target includes but does not
    link ("missing"), and every room it links but includes nothing of
    ("unused")."""
    faults = []
    for name, (folder, files, linked) in sorted(targets().items()):
        needed = needed_rooms(name, folder, files)
        own = own_room(name, folder, files)
        faults += [(name, room, "missing") for room in sorted(needed - linked)]
        faults += [(name, room, "unused")
                   for room in sorted(linked - needed - {own})]
    return faults


def documented_rooms():
    """(page, the program's rooms in the order the page lists them): each
    room's first appearance as a list item, heading or table row that
    begins with its folder ("- `base/`: ...", "### `base/`", "| `base/` |"),
    within the page's section on the rooms or the layout if it has one."""
    page = "docs/architecture.md"
    if not os.path.exists(os.path.join(ROOT, page)):
        page = "README.md"
    with open(os.path.join(ROOT, page)) as f:
        text = f.read()
    # The section whose heading names the rooms or the layout, where the
    # page has one: other sections may name rooms in another order.
    section = re.search(r"^(#+)\s[^\n]*\b(?:[Rr]ooms|[Ll]ayout)\b[^\n]*\n"
                        r"(.*?)(?=^\1\s|\Z)", text, re.M | re.S)
    if section:
        text = section.group(2)
    program = set(program_rooms())
    listed = []
    for room in re.findall(r"^\s*(?:[-*|]|#+)\s*`([\w/]+?)/?`", text, re.M):
        if room in program and room not in listed:
            listed.append(room)
    return page, listed


# Calls into the kernel (or the C library's thin wrappers of it). Only the
# seam's Linux side makes them; each file below is an exception for the
# reason given beside it.
# (read, write, open and close are left out: the program's own classes use
# those names; their files' other calls give such a file away.)
KERNEL_CALL = re.compile(
    r"(?<![\w.>:])(readlink|rename|remove|unlink|fopen|openat|mount|"
    r"umount2?|ioctl|mmap|munmap|mprotect|madvise|mlock|fork|execve?|"
    r"waitpid|kill|socket|sendto|klogctl|reboot|sysconf|getpid|pause|"
    r"clock_gettime|time|nanosleep|usleep|opendir|readdir|fsync|syscall|"
    r"sigaction|pthread_create|sched_setaffinity|prctl)"
    r"\s*\(")
KERNEL_CALL_EXCEPTIONS = {
    # The output primitive: standard output, which every layer prints to.
    "base/cprintf.cpp",
    # The one small-file reader, on paths the seam's files role gives.
    "base/small_file.cpp",
    # The /proc readers and writer of the memory probe, on paths the seam's
    # files role gives.
    "sysmem/meminfo.cpp", "sysmem/proc_set.cpp", "sysmem/smaps.cpp",
    # The generator's seed from the clock when the tester is made.
    "tester/cellchecker.cpp",
    # The worker threads.
    "tester/worker_pool.cpp",
    # A fault inside the fault handler: the seam call may be what faulted.
    "machinecheck/fault_guard.cpp",
}


def kernel_calls():
    """(path, line) of each kernel call in the program outside the seam's
    Linux side and the exceptions."""
    program = set(program_rooms()) - {PLATFORM_ROOM}
    found = []
    for path in sources():
        if room_of(path) not in program or path in KERNEL_CALL_EXCEPTIONS:
            continue
        with open(os.path.join(ROOT, path)) as f:
            for number, line in enumerate(f, 1):
                code = re.sub(r'"(?:\\.|[^"\\])*"', '""',
                              line.split("//", 1)[0])
                if re.match(r"\s*(\*|/\*)", code) or "virtual" in code:
                    continue
                if KERNEL_CALL.search(code):
                    found.append((path, number, line.strip()))
    return found


class IncludeGraphTest(unittest.TestCase):
    def test_only_the_platform_calls_the_kernel(self):
        calls = kernel_calls()
        self.assertEqual(calls, [], "\n" + "\n".join(
            f"{path}:{number}: {line}" for path, number, line in calls))

    def test_the_graph_is_layered(self):
        order = room_order()
        self.assertIn(TOP_ROOM, order)
        for room, linked in links().items():
            for other in sorted(linked):
                self.assertIn(other, order, f"{room} links unknown room {other}")
                self.assertLess(order.index(other), order.index(room),
                                f"{room} links {other}, which is not below it")

    def test_only_the_top_reaches_the_platform(self):
        graph = links()
        for room in program_rooms():
            if room != TOP_ROOM:
                self.assertNotIn(PLATFORM_ROOM, graph[room],
                                 f"{room} links the seam's Linux side")

    def test_every_include_is_allowed(self):
        wrong = wrong_includes()
        self.assertEqual(wrong, [], "\n" + "\n".join(
            f"{path}: #include \"{included}\": {why}"
            for path, included, why in wrong))

    def test_every_target_links_exactly_what_it_includes(self):
        faults = link_faults()
        self.assertEqual(faults, [], "\n" + "\n".join(
            f"{name} includes {room}/ but does not link {target_of(room)}"
            if what == "missing" else
            f"{name} links {target_of(room)} but includes nothing of {room}/"
            for name, room, what in faults))

    def test_the_documented_rooms_follow_the_build(self):
        page, listed = documented_rooms()
        self.assertEqual(
            listed, program_rooms(),
            f"{page} lists the rooms (lowest first) otherwise than the root "
            "CMakeLists.txt's add_subdirectory calls")

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
