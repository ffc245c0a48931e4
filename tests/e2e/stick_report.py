"""End-to-end cases of the report on the boot stick: the ISO copied to a
writable disk image and booted as a USB stick (UEFI, then BIOS, on the same
stick), with a one-minute limit typed into the boot menu's editor as a
person would, and a bit flipped from outside until Cellcheck reports it.
The stick is then read with mtools: one pair of files per run, named by the
machine's serial number, with the error's address, the memmap= line and
FAIL; the second run leaves the first pair as it was; the page is opened in
headless Chromium and its picture read by OCR. A second disk on the same USB
controller, with a FAT partition labelled CELLCHECK (and another build's
mark), is byte for byte the same afterwards.

The second boot also shows what a machine without a person at the screen
leaves behind: its screen is the console and its first serial port carries
the event lines (cellcheck.log=serial), every event one RFC 5424 line; and
its PC speaker is recorded to a WAV file (QEMU's pcspk-audiodev), in which
sox finds a high tone when the error turns up and three low ones at the
FAIL verdict."""
import hashlib
import os
import re
import shutil
import struct
import subprocess
import tempfile
import threading
import time

import bad_memory
import event_lines
import secure_boot
from screen import screen_text

SERIAL = "CC-E2E-0042"
LIMIT = "cellcheck.time=60s"
REPORTS_ON_STICK = rb"Reports: on the boot stick, partition 3 \(CELLCHECK\)"
REPORT_WRITTEN = rb"Report on the boot stick: (\S+)\.txt and \S+\.html"
VERDICT = rb" VERDICT: (PASS|FAIL)"
# The event lines, each on a line of its own.
START_EVENT = rb"\n<\d+>1 \S+ \S+ cellcheck - start \[[^\r\n]* area=\"(\d+)\""
ERROR_EVENT = re.compile(rb"\n<\d+>1 \S+ \S+ cellcheck - error \[")
VERDICT_EVENT = rb"\n<\d+>1 \S+ \S+ cellcheck - verdict \[[^\r\n]* result=\"(PASS|FAIL)\""
# The beeps (speaker/beeps.h): a high tone at the first error, three low
# ones at a FAIL verdict.
ERROR_HERTZ, FAIL_HERTZ = 2000, 500
MIB = 1 << 20
# The other disk: an MBR, one FAT partition from 1 MiB on.
OTHER_MIB = 8
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--no-first-run"]


def partition_offset(image, number):
    """The byte offset of partition `number` of a GPT disk image."""
    with open(image, "rb") as f:
        f.seek(512)
        header = f.read(92)
        assert header[:8] == b"EFI PART", "no GPT in the image"
        entries_lba, count, size = struct.unpack_from("<QII", header, 72)
        f.seek(entries_lba * 512 + (number - 1) * size)
        entry = f.read(size)
    first = struct.unpack_from("<Q", entry, 32)[0]
    assert first, f"no partition {number} in the image"
    return first * 512


def other_disk(path):
    """A disk that is not the stick: an MBR with one FAT partition labelled
    CELLCHECK, holding another build's mark and a file of its owner's."""
    with open(path, "wb") as f:
        f.truncate(OTHER_MIB * MIB)
        start, sectors = 2048, (OTHER_MIB - 1) * 2048
        entry = struct.pack("<B3sB3sII", 0, b"\0\0\0", 0x0E, b"\0\0\0", start, sectors)
        f.seek(446)
        f.write(entry + bytes(48) + b"\x55\xaa")
    fat = f"{path}@@{MIB}"
    subprocess.run(["mformat", "-i", fat, "-T", str((OTHER_MIB - 1) * 2048), "-h", "64",
                    "-s", "32", "-v", "CELLCHECK", "::"], check=True)
    with tempfile.TemporaryDirectory() as tmp:
        for name, text in ((".cellcheck-build", "0123456789abcdef\n"),
                           ("OWNER.TXT", "the owner's own file\n")):
            with open(os.path.join(tmp, name), "w") as f:
                f.write(text)
            subprocess.run(["mcopy", "-i", fat, os.path.join(tmp, name), "::/" + name],
                           check=True)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def stick_args(stick, other=None):
    args = ["-drive", f"if=none,id=stick,format=raw,file={stick}",
            "-device", "qemu-xhci,id=usb",
            "-device", "usb-storage,bus=usb.0,drive=stick,bootindex=0",
            "-smbios", f"type=1,serial={SERIAL}"]
    if other:
        args += ["-drive", f"if=none,id=other,format=raw,file={other}",
                 "-device", "usb-storage,bus=usb.0,drive=other"]
    return args


def boot_with_options(vm, options, entry="serial"):
    """At the boot menu: the entry (the serial one or the default, on the
    screen), its kernel line edited to end with `options`, booted. Single
    keys, one at a time (under UEFI the firmware reads the serial port
    too)."""
    vm.expect(rb"automatically in", 180, "the boot menu")
    if entry == "serial":
        vm.send(secure_boot.NEXT_LINE)
        vm.expect(rb"\*Cellcheck on the serial port", 30, "the serial entry highlighted")
        title = rb"setparams 'Cellcheck on the serial port"
    else:
        title = rb"setparams 'Cellcheck'"
    vm.send(b"e")
    vm.expect(title, 30, "GRUB's editor")
    keys = [secure_boot.NEXT_LINE, secure_boot.NEXT_LINE, secure_boot.END_OF_LINE]
    for key in keys + [bytes([c]) for c in b" " + options.encode()]:
        vm.send(key)
        time.sleep(0.3)
    # The edited line wraps on the screen: its last part.
    vm.expect(re.escape(options[-4:].encode()), 30, "the edited kernel line")
    vm.send(secure_boot.BOOT)


def flip_until_reported(vm, area_bytes, reported):
    """Flips bit 13 of a word a quarter into the test area until `reported`
    (a compiled pattern) turns up in the output; returns the word's
    guest-physical address."""
    start, _ = bad_memory.test_area(vm)
    planted = bad_memory.guest_physical(vm, start + area_bytes // 4 + 0x7ac)
    searched_from = vm.position
    deadline = time.monotonic() + 900
    while not reported.search(bytes(vm.output), searched_from):
        assert time.monotonic() < deadline, "the flipped bit was never reported"
        flipped = bad_memory.flip(vm, planted, 13)
        while (bad_memory.word_at(vm, planted) == flipped and time.monotonic() < deadline
               and not reported.search(bytes(vm.output), searched_from)):
            time.sleep(0.5)
    return planted


def run_to_verdict(case, name, firmware, memory, stick, other=None):
    """Boots the stick's serial entry with the limit, flips a bit, waits for
    the verdict and the report's last line. Returns the report's name and
    the flipped address."""
    with case.vm(name, stick_args(stick, other), memory, firmware) as vm:
        boot_with_options(vm, LIMIT)
        vm.expect(REPORTS_ON_STICK, 300, "the line that says where reports go")
        area_line = vm.expect(bad_memory.TEST_AREA, 600, "the test area")
        vm.expect(rb"Running fast write tests", 900, "the end of the pre-test")
        planted = flip_until_reported(vm, int(area_line.group(1)) * MIB, bad_memory.PAIR)
        verdict = vm.expect(VERDICT, 600, "the verdict")
        assert verdict.group(1) == b"FAIL", "a flipped bit, and the verdict is PASS"
        written = vm.expect(REPORT_WRITTEN, 120, "the report's last line")
        case.note(f"{name}: verdict and report after {vm.seconds():.0f} s")
        return written.group(1).decode(), planted


class SizeWatch:
    """Notes when a file grows: QEMU writes the speaker's WAV file only
    while the speaker sounds, so its growth shows when each tone began and
    ended, on the clock of vm.seconds()."""

    def __init__(self, vm, path):
        self.vm, self.path = vm, path
        self.samples = []  # (seconds, size) at each change
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    def _watch(self):
        last = None
        while not self._stop.wait(0.01):
            try:
                size = os.path.getsize(self.path)
            except FileNotFoundError:
                continue
            if size != last:
                self.samples.append((self.vm.seconds(), size))
                last = size

    def stop(self):
        self._stop.set()
        self._thread.join()

    def bursts(self, until, gap=0.12):
        """The runs of growth before `until` (seconds) with no pause longer
        than `gap`: [first, last] growth's time, and the size before the
        first and after the last. During a tone the file grows by a block
        of the C library's every few hundredths of a second."""
        found = []
        for (_, before), (at, after) in zip(self.samples, self.samples[1:]):
            if after <= before or at >= until:
                continue
            if found and at - found[-1][1] <= gap:
                found[-1][1], found[-1][3] = at, after
            else:
                found.append([at, at, before, after])
        return found


def run_on_screen(case, name, stick, wav):
    """The second run: BIOS, the screen entry (Cellcheck on the screen,
    kernel messages on the serial port), the event lines on the first
    serial port, the speaker recorded. Driven by the event lines alone, as a
    management controller's serial console would see the machine. Returns
    the report's name, the flipped address, the serial port's bytes and
    the times (vm.seconds()) of the error event, the verdict event and the
    speaker's bursts."""
    args = stick_args(stick) + ["-audiodev", f"wav,id=speaker,path={wav}",
                                "-machine", "pcspk-audiodev=speaker"]
    with case.vm(name, args, 256, "bios") as vm:
        watch = SizeWatch(vm, wav)
        try:
            boot_with_options(vm, LIMIT + " cellcheck.log=serial", entry="screen")
            start = vm.expect(START_EVENT, 900, "the start event on the serial port")
            planted = flip_until_reported(vm, int(start.group(1)) * MIB, ERROR_EVENT)
            vm.expect(ERROR_EVENT, 10)
            error_at = vm.seconds()
            verdict = vm.expect(VERDICT_EVENT, 600, "the verdict event")
            verdict_at = vm.seconds()
            assert verdict.group(1) == b"FAIL", "a flipped bit, and the verdict is PASS"
            deadline = time.monotonic() + 120
            while True:
                written = re.search(REPORT_WRITTEN, screen_text(vm))
                if written:
                    break
                assert time.monotonic() < deadline, "no report line on the screen"
                vm.stays_up(2)
            case.note(f"{name}: verdict and report after {vm.seconds():.0f} s")
            # Ends QEMU, which completes the WAV file's header and writes
            # the last tone's tail.
            quit_at = vm.seconds()
            try:
                vm.monitor("quit")
            except Exception:  # QEMU ends before it answers
                pass
            vm.process.wait(timeout=60)
        finally:
            watch.stop()
        return (written.group(1).decode(), planted, bytes(vm.output),
                error_at, verdict_at, watch.bursts(quit_at))


def stick_files(stick):
    """The report partition's files: name -> bytes."""
    fat = f"{stick}@@{partition_offset(stick, 3)}"
    listing = subprocess.run(["mdir", "-i", fat, "-b", "-a", "::/"], check=True,
                             capture_output=True, text=True).stdout.split()
    files = {}
    for path in listing:
        name = path.split("/")[-1]
        files[name] = subprocess.run(["mtype", "-i", fat, path], check=True,
                                     capture_output=True).stdout
    return files


def check_pair(files, base, planted):
    text = files[base + ".txt"].decode()
    page = files[base + ".html"].decode()
    assert base.startswith(SERIAL + "_"), f"report {base} not named by the serial number"
    assert text.startswith("Cellcheck report: FAIL"), text[:200]
    address = f"bank A {planted:#x}"
    assert address in text, f"{address!r} is not in the text file"
    memmap = bad_memory.LINUX_LINE.search(text.encode())
    assert memmap, "no memmap= line in the text file"
    pages = bad_memory.memmap_pages(memmap.group(1).decode())
    assert planted & ~(bad_memory.PAGE - 1) in pages, f"memmap= misses {planted:#x}"
    assert "Reports: on the boot stick, partition 3 (CELLCHECK)" in text
    # The measuring child's dots too: every line the screen showed.
    assert "\nInitializing....\n" in text, "the start-up lines are not as the screen showed"
    assert "VERDICT: FAIL" in text
    assert '<div class="verdict fail">FAIL</div>' in page
    assert f"<td>{planted:#x}</td>" in page, "the error's address is not in the page"
    assert "memmap=" in page and "<svg" in page and "<script" not in page


def screenshot(case, html, png):
    """The page as headless Chromium draws it."""
    chromium = shutil.which("chromium")
    if chromium is None:
        case.skip("Debian's chromium is not installed (scripts/need-packages.sh chromium)")
    with tempfile.TemporaryDirectory() as profile:
        subprocess.run([chromium, *CHROMIUM_FLAGS, f"--user-data-dir={profile}",
                        "--window-size=1000,1400", f"--screenshot={png}",
                        "file://" + html], check=True, capture_output=True, timeout=180)
    read = subprocess.run(["tesseract", png, "stdout"], capture_output=True, text=True,
                          timeout=120)
    return read.stdout


def check_event_lines(output, serial, planted):
    """Every event the run posted is on the serial port, one a line that
    starts on a line of its own: RFC 5424, numbered 1, 2, ... without a gap,
    from the start event to the verdict. Returns the parsed lines."""
    events = event_lines.serial_events(output)
    assert events, "no event lines on the serial port"
    msgids = [e["msgid"] for e in events]
    seqs = [event_lines.seq(e) for e in events]
    assert seqs == list(range(1, len(seqs) + 1)), f"events missing: seq {seqs}"
    assert msgids[0] == "start" and msgids[-1] == "verdict", msgids
    assert {"progress", "summary"} <= set(msgids), msgids
    for e in events:
        assert e["hostname"] == serial and e["app"] == "cellcheck", e.group(0)
        assert e["sd"].startswith(f"[{event_lines.SD_ID} "), e.group(0)
    errors = [e for e in events if e["msgid"] == "error"]
    assert any(f'addressA="{planted:#x}"' in e["sd"] for e in errors), (
        f"no error event names {planted:#x}: {[e.group(0) for e in errors]}")
    assert 'result="FAIL"' in events[-1]["sd"], events[-1].group(0)
    return events


def tone_hertz(wav, begin, end):
    """The pitch of [begin, end) seconds of the WAV file: the strongest
    line of the spectrum sox computes (a square wave's harmonics are
    weaker than its fundamental)."""
    spectrum = subprocess.run(
        ["sox", wav, "-n", "remix", "1", "trim", f"{begin:.3f}", f"{end - begin:.3f}",
         "stat", "-freq"], capture_output=True, text=True, check=True).stderr
    lines = re.findall(r"^(\d+\.\d+)\s+(\d+\.\d+)$", spectrum, re.M)
    assert lines, f"no spectrum from sox: {spectrum[-300:]!r}"
    return float(max(lines, key=lambda line: float(line[1]))[0])


def check_beeps(case, wav, bursts, error_at, verdict_at):
    """The speaker sounded a high tone when the error turned up and three
    low ones at the verdict, nothing else; sox reads each one's pitch.
    QEMU records only while the speaker sounds, so the file holds the tones
    back to back: when each sounded comes from when the file grew, and
    which bytes are its sound from the sizes before and after."""
    info = subprocess.run(["soxi", wav], capture_output=True, text=True, check=True).stdout
    rate = int(re.search(r"Sample Rate\s*:\s*(\d+)", info).group(1))
    channels = int(re.search(r"Channels\s*:\s*(\d+)", info).group(1))
    frame = 2 * channels  # 16-bit samples
    tones = []
    for begin_s, end_s, first, last in bursts:
        # A bit inside each end: the file grows by whole blocks, so a tone's
        # last bytes come with the next one's first.
        begin, end = (first - 44) / (rate * frame), (last - 44) / (rate * frame)
        hertz = tone_hertz(wav, begin + 0.03, max(begin + 0.06, end - 0.03))
        tones.append((begin_s, end_s - begin_s, hertz))
    case.note("tones (start s, length s, Hz): "
              + ", ".join(f"({t:.1f}, {d:.2f}, {h:.0f})" for t, d, h in tones))
    assert len(tones) == 4, f"{len(tones)} tones, not 1 + 3: {tones}"
    first, verdict = tones[0], tones[1:]
    assert abs(first[2] - ERROR_HERTZ) < 0.1 * ERROR_HERTZ, f"first tone {first}"
    # The tone starts in the step between tests that posts the error event.
    assert abs(first[0] - error_at) < 5, f"first tone at {first[0]:.1f} s, error at {error_at:.1f} s"
    for tone in verdict:
        assert abs(tone[2] - FAIL_HERTZ) < 0.1 * FAIL_HERTZ, f"verdict tone {tone}"
        assert 0 <= tone[0] - verdict_at < 10, f"verdict tone at {tone[0]:.1f} s, verdict at {verdict_at:.1f} s"


def test_report_on_usb_stick(case):
    stick = os.path.join(case.logs, "report-stick.img")
    other = os.path.join(case.logs, "report-other-disk.img")
    shutil.copyfile(os.path.join(case.image, "cellcheck.iso"), stick)
    other_disk(other)
    other_before = digest(other)

    first, planted = run_to_verdict(case, "report-stick-uefi", "uefi", 512, stick, other)
    assert digest(other) == other_before, "the other disk was written to"
    files = stick_files(stick)
    check_pair(files, first, planted)
    names = sorted(n for n in files if not n.startswith("."))
    assert names == [first + ".html", first + ".txt"], f"the partition holds {names}"
    case.note(f"{first}.txt: {len(files[first + '.txt'])} bytes, "
              f".html: {len(files[first + '.html'])} bytes")

    for extension in (".txt", ".html"):
        with open(os.path.join(case.logs, "report-page" + extension), "wb") as f:
            f.write(files[first + extension])
    html = os.path.join(case.logs, "report-page.html")
    png = os.path.join(case.logs, "report-page.png")
    seen = screenshot(case, html, png)
    assert secure_boot.shows(seen, "FAIL"), f"the page's picture shows no FAIL:\n{seen}"
    assert secure_boot.shows(seen, "Cellcheck report"), f"OCR read:\n{seen}"

    if shutil.which("sox") is None:
        case.skip("no sox to read the speaker's recording (scripts/need-packages.sh sox)")
    wav = os.path.join(case.logs, "report-speaker.wav")
    second, planted, serial_port, error_at, verdict_at, bursts = run_on_screen(
        case, "report-stick-bios-screen", stick, wav)
    assert second != first, "the second run took the first one's name"
    again = stick_files(stick)
    for name in (first + ".txt", first + ".html"):
        assert again[name] == files[name], f"the second run changed {name}"
    check_pair(again, second, planted)
    events = check_event_lines(serial_port, SERIAL, planted)
    case.note(f"{len(events)} event lines on the serial port "
              f"({', '.join(sorted(set(e['msgid'] for e in events)))})")
    # The screen was the console: the serial port had the event lines, not
    # the screen's text.
    assert b"Amount of RAM mapped by BIOS" not in serial_port, "the screen's text on the port"
    check_beeps(case, wav, bursts, error_at, verdict_at)
    case.note(f"reports {first} and {second}; the other disk unchanged")


CASES = [test_report_on_usb_stick]
