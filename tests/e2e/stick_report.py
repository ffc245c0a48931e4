"""End-to-end cases of the report on the boot stick: the ISO copied to a
writable disk image and booted as a USB stick (UEFI, then BIOS, on the same
stick), with a one-minute limit typed into the boot menu's editor as a
person would, and a bit flipped from outside until Cellcheck reports it.
The stick is then read with mtools: one pair of files per run, named by the
machine's serial number, with the error's address, the memmap= line and
FAIL; the second run leaves the first pair as it was; the page is opened in
headless Chromium and its picture read by OCR. A second disk on the same USB
controller, with a FAT partition labelled CELLCHECK (and another build's
mark), is byte for byte the same afterwards."""
import glob
import hashlib
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time

import bad_memory
import secure_boot

SERIAL = "CC-E2E-0042"
LIMIT = "cellcheck.time=60s"
REPORTS_ON_STICK = rb"Reports: on the boot stick, partition 3 \(CELLCHECK\)"
REPORT_WRITTEN = rb"Report on the boot stick: (\S+)\.txt and \S+\.html"
VERDICT = rb" VERDICT: (PASS|FAIL)"
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


def boot_with_limit(vm):
    """At the boot menu: the serial entry, its kernel line edited to end
    with the time limit, booted. Single keys, one at a time (under UEFI the
    firmware reads the serial port too)."""
    vm.expect(rb"automatically in", 180, "the boot menu")
    vm.send(secure_boot.NEXT_LINE)
    vm.expect(rb"\*Cellcheck on the serial port", 30, "the serial entry highlighted")
    vm.send(b"e")
    vm.expect(rb"setparams 'Cellcheck on the serial port", 30, "GRUB's editor")
    keys = [secure_boot.NEXT_LINE, secure_boot.NEXT_LINE, secure_boot.END_OF_LINE]
    for key in keys + [bytes([c]) for c in b" " + LIMIT.encode()]:
        vm.send(key)
        time.sleep(0.3)
    # The edited line wraps on the screen: its last part.
    vm.expect(rb"=60s", 30, "the edited kernel line")
    vm.send(secure_boot.BOOT)


def flip_until_reported(vm):
    """Flips bit 13 of a word a quarter into the test area until Cellcheck
    reports it; returns the word's guest-physical address."""
    area_line = vm.expect(bad_memory.TEST_AREA, 600, "the test area")
    area_bytes = int(area_line.group(1)) * MIB
    vm.expect(rb"Running fast write tests", 900, "the end of the pre-test")
    start, _ = bad_memory.test_area(vm)
    planted = bad_memory.guest_physical(vm, start + area_bytes // 4 + 0x7ac)
    searched_from = vm.position
    deadline = time.monotonic() + 900
    while not bad_memory.PAIR.search(bytes(vm.output), searched_from):
        assert time.monotonic() < deadline, "the flipped bit was never reported"
        flipped = bad_memory.flip(vm, planted, 13)
        while (bad_memory.word_at(vm, planted) == flipped and time.monotonic() < deadline
               and not bad_memory.PAIR.search(bytes(vm.output), searched_from)):
            time.sleep(0.5)
    return planted


def run_to_verdict(case, name, firmware, memory, stick, other=None):
    """Boots the stick with the limit, flips a bit, waits for the verdict
    and the report's last line. Returns the report's name, the flipped
    address and the console's output."""
    with case.vm(name, stick_args(stick, other), memory, firmware) as vm:
        boot_with_limit(vm)
        vm.expect(REPORTS_ON_STICK, 300, "the line that says where reports go")
        planted = flip_until_reported(vm)
        verdict = vm.expect(VERDICT, 600, "the verdict")
        assert verdict.group(1) == b"FAIL", "a flipped bit, and the verdict is PASS"
        written = vm.expect(REPORT_WRITTEN, 120, "the report's last line")
        case.note(f"{name}: verdict and report after {vm.seconds():.0f} s")
        return written.group(1).decode(), planted, bytes(vm.output)


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
    assert text.startswith("Cellcheck report: FAIL\n"), text[:200]
    address = f"bank A {planted:#x}"
    assert address in text, f"{address!r} is not in the text file"
    memmap = bad_memory.LINUX_LINE.search(text.encode())
    assert memmap, "no memmap= line in the text file"
    pages = bad_memory.memmap_pages(memmap.group(1).decode())
    assert planted & ~(bad_memory.PAGE - 1) in pages, f"memmap= misses {planted:#x}"
    assert "Reports: on the boot stick, partition 3 (CELLCHECK)" in text
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


def test_report_on_usb_stick(case):
    stick = os.path.join(case.logs, "report-stick.img")
    other = os.path.join(case.logs, "report-other-disk.img")
    shutil.copyfile(os.path.join(case.image, "cellcheck.iso"), stick)
    other_disk(other)
    other_before = digest(other)

    first, planted, _ = run_to_verdict(case, "report-stick-uefi", "uefi", 512, stick, other)
    assert digest(other) == other_before, "the other disk was written to"
    files = stick_files(stick)
    check_pair(files, first, planted)
    names = sorted(n for n in files if not n.startswith("."))
    assert names == [first + ".html", first + ".txt"], f"the partition holds {names}"

    html = os.path.join(case.logs, "report-page.html")
    with open(html, "wb") as f:
        f.write(files[first + ".html"])
    png = os.path.join(case.logs, "report-page.png")
    seen = screenshot(case, html, png)
    assert secure_boot.shows(seen, "FAIL"), f"the page's picture shows no FAIL:\n{seen}"
    assert secure_boot.shows(seen, "Cellcheck report"), f"OCR read:\n{seen}"

    second, planted, _ = run_to_verdict(case, "report-stick-bios", "bios", 256, stick)
    assert second != first, "the second run took the first one's name"
    again = stick_files(stick)
    for name in (first + ".txt", first + ".html"):
        assert again[name] == files[name], f"the second run changed {name}"
    check_pair(again, second, planted)
    case.note(f"reports {first} and {second}; the other disk unchanged")


CASES = [test_report_on_usb_stick]
