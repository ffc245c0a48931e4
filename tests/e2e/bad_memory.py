"""End-to-end tests of what Cellcheck says about bad memory: a bit flipped
from outside at a known guest-physical address inside the test area must be
reported at that address, with its bit, and the summary's memmap= list must
reserve exactly its page and its partner's; the test area's pages must stay
where they are; and at 4 GiB the boot menu's kernel options leave more RAM
to test.

Guest-physical memory is reached from outside through QEMU's monitor:
gva2gpa turns an address of the program into a guest-physical one (the
program is the guest's only process, so the current page tables are its
own), gpa2hva turns that into an address of the QEMU process, whose memory
this process (its parent) may read and write through /proc/PID/mem. The
guest is stopped while a word is flipped, so that the program cannot write
the word between the read and the write."""
import os
import re
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MIB = 1 << 20
PAGE = 4096

EARLY_CHECK_PASSED = rb"Early check of all free memory: (\d+) patterns?, no errors"
TEST_AREA = rb"Test area: (\d+) MiB of the (\d+) MiB obtainable"
PAIR = re.compile(rb"Error found with word pair# [^\r\n]*")
DETAILS = re.compile(
    rb"Physical addresses: bank A (0x[0-9a-f]+), bank B (0x[0-9a-f]+) "
    rb"\(either could be bad\); bits (0x[0-9a-f]{8}) differ")
# A test that knows what each word should hold names the one word.
WORD = re.compile(rb"Error found with word# \d+ of bank [AB], [^\r\n]*")
WORD_DETAILS = re.compile(
    rb"Physical address: bank ([AB]) (0x[0-9a-f]+) \(this word is bad\); "
    rb"bits (0x[0-9a-f]{8}) differ")
# Either kind of error's first line.
ERROR = re.compile(rb"Error found with word(?: pair)?# [^\r\n]*")
# Up to the line's end: the console sends a line in pieces, and a match of
# what has come so far could stop inside an address.
LINUX_LINE = re.compile(rb"Keep Linux off them[^\r\n]*?: ((?:memmap=\S+ ?)+)[\r\n]")
MEMMAP = re.compile(r"memmap=(\d+)([KMG])\$(0x[0-9a-f]+)")
UNITS = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
# The area before the boot menu's options: 3829 of 4096 MiB (MemTotal 3915).
AREA_AT_4G_BEFORE_MIB = 3829


def kernel_args(image, entry="serial"):
    """The kernel command line of one boot menu entry, as the build wrote it
    into the ISO's menu."""
    with open(os.path.join(image, "grub.cfg")) as f:
        cfg = f.read()
    line = re.search(r"--id %s \{[^}]*?\n\s*linux \S*/boot/vmlinuz ([^\n]*)" % entry, cfg)
    return line.group(1).strip()


def direct_boot(case, name, memory_mib, extra=""):
    return case.vm(name, [
        "-kernel", os.path.join(case.image, "vmlinuz"),
        "-initrd", os.path.join(case.image, "initramfs.img"),
        "-append", f"{kernel_args(case.image)} {extra} panic=-1".replace("  ", " "),
    ], memory_mib)


def test_area(vm):
    """The test area's guest-virtual range: the largest writable user-space
    mapping (the area; a page the program mapped before it may follow)."""
    for _ in range(10):
        best = None
        for start, end, prot in re.findall(
                r"([0-9a-f]{16})-([0-9a-f]{16}) [0-9a-f]{16} (\S+)", vm.monitor("info mem")):
            start, end = int(start, 16), int(end, 16)
            if prot == "urw" and (best is None or end - start > best[1] - best[0]):
                best = (start, end)
        if best:
            return best
        time.sleep(1)
    raise AssertionError("no user-space mapping seen in the guest")


def guest_physical(vm, virtual):
    """The guest-physical address of one of the program's addresses."""
    for _ in range(20):
        reply = vm.monitor(f"gva2gpa {virtual:#x}")
        found = re.search(r"gpa: (0x[0-9a-f]+)", reply)
        if found:
            return int(found.group(1), 16)
        time.sleep(0.2)  # another address space was current: ask again
    raise AssertionError(f"gva2gpa {virtual:#x}: {reply!r}")


def host_address(vm, physical):
    reply = vm.monitor(f"gpa2hva {physical:#x}")
    found = re.search(r"is (0x[0-9a-f]+)", reply)
    assert found, f"gpa2hva {physical:#x}: {reply!r}"
    return int(found.group(1), 16)


def word_at(vm, physical):
    with open(f"/proc/{vm.process.pid}/mem", "rb", buffering=0) as mem:
        mem.seek(host_address(vm, physical))
        return int.from_bytes(mem.read(4), "little")


def flip(vm, physical, bit):
    """Flips one bit of the 32-bit word at a guest-physical address, with
    the guest stopped. Returns the word's new value."""
    where = host_address(vm, physical)
    vm.monitor("stop")
    try:
        with open(f"/proc/{vm.process.pid}/mem", "r+b", buffering=0) as mem:
            mem.seek(where)
            new = int.from_bytes(mem.read(4), "little") ^ (1 << bit)
            mem.seek(where)
            mem.write(new.to_bytes(4, "little"))
    finally:
        vm.monitor("cont")
    return new


def sample_frames(vm, start, end, count=16):
    """Guest-physical addresses of `count` pages spread over [start, end)."""
    step = (end - start) // count // PAGE * PAGE
    return {start + k * step: guest_physical(vm, start + k * step) for k in range(count)}


def memmap_pages(text):
    """The pages the memmap= parameters of a summary line reserve."""
    pages = set()
    for size, unit, address in MEMMAP.findall(text):
        begin, length = int(address, 16), int(size) * UNITS[unit]
        assert begin % PAGE == 0 and length % PAGE == 0, f"memmap= not whole pages: {text}"
        pages.update(range(begin, begin + length, PAGE))
    return pages


def reports(output):
    """(error line, bank A address, bank B address, bits) of every error, in
    the order shown. A one-word error names its own bank's address only: the
    other is None."""
    found = []
    for error in ERROR.finditer(output):
        if PAIR.match(output, error.start()):
            details = DETAILS.search(output, error.end())
            assert details, f"no physical addresses after {error.group(0)!r}"
            addresses = (int(details.group(1), 16), int(details.group(2), 16))
        else:
            assert WORD.match(output, error.start()), f"unknown error line {error.group(0)!r}"
            details = WORD_DETAILS.search(output, error.end())
            assert details, f"no physical address after {error.group(0)!r}"
            address = int(details.group(2), 16)
            addresses = (address, None) if details.group(1) == b"A" else (None, address)
        found.append((error.group(0).decode(), *addresses, int(details.group(3), 16)))
    return found


def transcript(output, first_error):
    """What the console showed from the first error to the summary's end."""
    start = output.rfind(b"\n", 0, first_error) + 1
    end = output.find(b"badmemorylist", first_error)
    end = output.find(b"\n", end)
    return output[start:end].decode(errors="replace").replace("\r", "").strip("\n")


def test_planted_fault(case):
    """One bit flipped at a known address until Cellcheck sees it; the
    early check stays on in this boot. The test area's pages are compared at
    the start and E2E_STABILITY_SECONDS (60 by default) later."""
    stable_for = int(os.environ.get("E2E_STABILITY_SECONDS", "60"))
    with direct_boot(case, "bad-memory-512M", 512) as vm:
        early = vm.expect(EARLY_CHECK_PASSED, 180, "the early check's line")
        area_line = vm.expect(TEST_AREA, 300, "the test area")
        area_bytes = int(area_line.group(1)) * MIB
        # The pre-test is over: the area is locked and stays on its pages.
        vm.expect(rb"Running fast write tests", 600, "the end of the pre-test")
        start, end = test_area(vm)
        assert end - start >= area_bytes, f"mapping {end - start} < area {area_bytes}"
        frames = sample_frames(vm, start, end)
        sampled_at = time.monotonic()

        # A word a quarter into the area: inside bank A, its first half.
        virtual = start + area_bytes // 4 + 0x7ac
        planted = guest_physical(vm, virtual)
        bit = 13
        searched_from = vm.position
        flips = 0
        deadline = time.monotonic() + 900
        first = None
        while first is None:
            assert time.monotonic() < deadline, f"{flips} flips, none reported"
            flipped = flip(vm, planted, bit)
            flips += 1
            # Until the program rewrites the word, the flip may still be seen.
            while word_at(vm, planted) == flipped and time.monotonic() < deadline:
                first = ERROR.search(bytes(vm.output), searched_from)
                if first:
                    break
                time.sleep(0.5)
            first = first or ERROR.search(bytes(vm.output), searched_from)
        # The summary follows the first error at once.
        vm.position = first.start()
        summary = vm.expect(LINUX_LINE, 60, "the summary's memmap= line")

        seen = reports(bytes(vm.output[searched_from:summary.start()]))
        assert seen, "no error line before the summary"
        line, address_a, address_b, bits = seen[0]
        # Found by a bank-against-bank test, as a pair, or by a test that knew
        # what the word should hold (the complement test), as the one word.
        assert address_a == planted, (
            f"reported bank A at {address_a}, the flip was at {planted:#x}: {line}")
        assert bits == 1 << bit, f"bits {bits:#010x}, flipped bit {bit}"
        pages = memmap_pages(summary.group(1).decode())
        wanted = {planted & ~(PAGE - 1)}
        if address_b is not None:
            wanted.add(address_b & ~(PAGE - 1))
        assert pages == wanted, (
            f"memmap= reserves {sorted(map(hex, pages))}, not {sorted(map(hex, wanted))}")
        case.note(f"early check: {early.group(1).decode()} patterns; flip at "
                  f"{planted:#x} bit {bit} seen after {flips} flip(s) "
                  f"{'as a pair' if address_b is not None else 'as one word'}")
        case.note("transcript:\n" + transcript(bytes(vm.output), first.start()))

        # Nothing else goes wrong while the pages are watched.
        left = sampled_at + stable_for - time.monotonic()
        if left > 0:
            vm.stays_up(left)
        later = sample_frames(vm, start, end)
        moved = {hex(v): (hex(frames[v]), hex(later[v])) for v in frames if frames[v] != later[v]}
        assert not moved, f"pages moved: {moved}"
        case.note(f"{len(frames)} sample pages on the same frames after "
                  f"{time.monotonic() - sampled_at:.0f} s")
        for line, address_a, address_b, bits in reports(bytes(vm.output[searched_from:])):
            assert address_a == planted and bits == 1 << bit, f"another error: {line}"


def test_area_at_4g(case):
    """The boot menu's kernel options (a small bounce buffer, small hash
    tables) leave more of 4 GiB to test. The early check is off here: at
    4 GiB it would take a minute of emulated time."""
    with direct_boot(case, "area-4G", 4096, "memtest=0") as vm:
        line = vm.expect(TEST_AREA, 300, "the test area")
        area = int(line.group(1))
        case.note(f"test area {area} MiB of {line.group(2).decode()} MiB obtainable "
                  f"at 4096 MiB (before the options: {AREA_AT_4G_BEFORE_MIB} MiB)")
        assert area > AREA_AT_4G_BEFORE_MIB, f"test area {area} MiB"


CASES = [test_planted_fault, test_area_at_4g]
