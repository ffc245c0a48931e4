"""End-to-end cases of the modules by name: QEMU takes the firmware's
memory devices (SMBIOS type 17) from files (-smbios file=...; its own type
17 structures then stay out, its type 19 ranges still map the VM's real
RAM), built here byte by byte.

One stick booted three times, with a one-minute limit each, as a
technician would move modules between runs: two modules and a planted
error (FAIL); the table without the second module and no error (PASS),
after which the history names the module taken out, on the screen and in
both report files; that module alone in the other slot with a planted
error (FAIL), after which the history says the errors followed the module.
And a VM whose table lists far more memory than it has: the missing-memory
line."""
import os
import re
import shutil
import struct

import stick_report

MIB = 1 << 20
DDR4 = 0x1A
# Two modules of 128 MiB: together the 256 MiB the VM has.
MODULE_MIB = 128
VM_MIB = 256
SERIAL_A, SERIAL_B = "E2E0000A", "E2E0000B"
PART = "E2E-DDR4-3200"
HISTORY = ".cellcheck-history"


def type17(handle, locator, bank, size_mib, serial="", part=""):
    """A memory device structure (SMBIOS 2.8's 0x28 bytes) and its strings;
    size 0 is an empty slot."""
    strings = []

    def string(text):
        if not text:
            return 0
        strings.append(text.encode())
        return len(strings)

    filled = size_mib != 0
    formatted = struct.pack(
        "<BBHHHHHHBBBBBHHBBBBBIHHHH",
        17, 0x28, handle,
        0x1000,           # the physical memory array (QEMU's type 16)
        0xFFFE,           # no error information
        64 if filled else 0xFFFF, 64 if filled else 0xFFFF,
        size_mib,
        0x09,             # DIMM
        0,
        string(locator), string(bank),
        DDR4 if filled else 0x02,
        0x0080 if filled else 0,   # synchronous
        3200 if filled else 0,
        string("Samsung" if filled else ""), string(serial), 0, string(part),
        1 if filled else 0,
        0,                # no extended size
        3200 if filled else 0,
        1200 if filled else 0, 1200 if filled else 0, 1200 if filled else 0)
    assert len(formatted) == 0x28, len(formatted)
    text = b"".join(s + b"\0" for s in strings) or b"\0"
    return formatted + text + b"\0"


def smbios_args(case, name, slots):
    """-smbios file=... per structure (QEMU 7 takes one structure a file):
    `slots` is [(locator, size MiB, serial)], a size of 0 an empty slot."""
    args = []
    for number, (locator, size_mib, serial) in enumerate(slots):
        path = os.path.join(case.logs, f"{name}-type17-{number}.bin")
        with open(path, "wb") as f:
            f.write(type17(0x5000 + number, locator, f"BANK {number}", size_mib,
                           serial, PART if size_mib else ""))
        args += ["-smbios", f"file={path}"]
    return args


def module_line(slot, serial):
    return (f"Module {slot}: {MODULE_MIB} MiB DDR4-3200, Samsung {PART}, "
            f"serial {serial} (firmware table)").encode()


def run_once(case, name, stick, slots, plant):
    """Boots the stick's serial entry with the limit and the table of
    `slots`; with `plant`, flips a bit until it is reported. Returns the
    verdict, the screen's bytes and the report's name."""
    args = stick_report.stick_args(stick) + smbios_args(case, name, slots)
    with case.vm(name, args, VM_MIB, "bios") as vm:
        stick_report.boot_with_options(vm, stick_report.LIMIT)
        vm.expect(stick_report.REPORTS_ON_STICK, 300, "the line that says where reports go")
        area_line = vm.expect(stick_report.bad_memory.TEST_AREA, 600, "the test area")
        for slot, size_mib, serial in slots:
            if size_mib:
                vm.expect(re.escape(module_line(slot, serial)), 60, f"the line of {slot}")
        vm.expect(rb"Running fast write tests", 900, "the end of the pre-test")
        if plant:
            stick_report.flip_until_reported(vm, int(area_line.group(1)) * MIB,
                                             stick_report.bad_memory.PAIR)
        verdict = vm.expect(stick_report.VERDICT, 900, "the verdict")
        written = vm.expect(stick_report.REPORT_WRITTEN, 120, "the report's last line")
        case.note(f"{name}: {verdict.group(1).decode()} and report after "
                  f"{vm.seconds():.0f} s")
        return verdict.group(1).decode(), bytes(vm.output), written.group(1).decode()


def check_said(output, files, base, line):
    """`line` on the screen and in both report files (the page escapes
    nothing in these lines)."""
    assert line.encode() in output, f"not on the screen: {line!r}"
    assert line in files[base + ".txt"].decode(), f"not in the text file: {line!r}"
    assert line in files[base + ".html"].decode(), f"not in the page: {line!r}"


def test_modules_history_on_one_stick(case):
    stick = os.path.join(case.logs, "modules-stick.img")
    shutil.copyfile(os.path.join(case.image, "cellcheck.iso"), stick)

    both = [("DIMM_A1", MODULE_MIB, SERIAL_A), ("DIMM_B1", MODULE_MIB, SERIAL_B)]
    verdict, output, first = run_once(case, "modules-both-error", stick, both, True)
    assert verdict == "FAIL", "a flipped bit, and the verdict is PASS"
    assert b"History: no earlier run of this machine on this stick" in output, (
        "the first run's history line is missing")

    # The second module taken out; nothing planted.
    without_b = [("DIMM_A1", MODULE_MIB, SERIAL_A), ("DIMM_B1", 0, "")]
    verdict, output, second = run_once(case, "modules-without-b", stick, without_b, False)
    assert verdict == "PASS", f"no error planted, and the verdict is {verdict}"
    files = stick_report.stick_files(stick)
    check_said(output, files, second,
               f"Module serial {SERIAL_B} (not in the machine now) was in the run "
               "with errors; the run without it passed after only 1 minute")
    assert "Runs of this machine on this stick" in files[second + ".txt"].decode()
    assert f"<td>DIMM_A1</td>" in files[second + ".html"].decode()

    # The module taken out, alone in the other slot, with an error.
    b_in_a = [("DIMM_A1", MODULE_MIB, SERIAL_B), ("DIMM_B1", 0, "")]
    verdict, output, third = run_once(case, "modules-b-alone-in-a", stick, b_in_a, True)
    assert verdict == "FAIL", "a flipped bit, and the verdict is PASS"
    files = stick_report.stick_files(stick)
    check_said(output, files, third,
               f"Errors followed module serial {SERIAL_B} from DIMM_B1 into DIMM_A1: "
               "the module, not the slot")
    history = files[HISTORY].decode()
    assert len([l for l in history.splitlines() if l]) == 3, history
    names = sorted(n for n in files if not n.startswith("."))
    assert names == sorted(b + e for b in (first, second, third) for e in (".txt", ".html")), (
        f"the partition holds {names}")


def serial_kernel_args(image):
    """The kernel command line of the boot menu's serial entry."""
    with open(os.path.join(image, "grub.cfg")) as f:
        entry = re.search(r'--id serial \{\s*linux \S*/boot/vmlinuz ([^\n]*)', f.read())
    return entry.group(1).strip()


def test_missing_memory_line(case):
    """The table lists two 2 GiB modules; the VM has 256 MiB."""
    slots = [("DIMM_A1", 2048, SERIAL_A), ("DIMM_B1", 2048, SERIAL_B)]
    args = ["-kernel", os.path.join(case.image, "vmlinuz"),
            "-initrd", os.path.join(case.image, "initramfs.img"),
            "-append", f"{serial_kernel_args(case.image)} panic=-1"]
    with case.vm("modules-missing", args + smbios_args(case, "modules-missing", slots),
                 VM_MIB) as vm:
        line = vm.expect(rb"Missing memory: the modules hold 4 GiB but the firmware "
                         rb"mapped [^\r\n]*", 600, "the missing-memory line")
        text = line.group(0).decode()
        assert "DIMM_A1 (2 GiB)" in text and "DIMM_B1 (2 GiB)" in text, text
        vm.expect(rb"Preparing and pre-testing memory", 120, "the pre-test")
        case.note(f"missing-memory line after {vm.seconds():.0f} s: {text}")


CASES = [test_modules_history_on_one_stick]
SHORT_CASES = [test_missing_memory_line]
