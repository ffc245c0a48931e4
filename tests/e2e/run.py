#!/usr/bin/python3
"""End-to-end tests: boot the Cellcheck image in QEMU and check what a user
sees on the console.

Usage: tests/e2e/run.py IMAGE_DIR [CASE...]
       tests/e2e/run.py --list
IMAGE_DIR is image/build.sh's output. Logs of every guest go to
IMAGE_DIR/../e2e/. Runs two guests at a time (E2E_JOBS changes that).
--list names every case, one a line (ctest registers one test each).

A case that cannot run on this host (it lacks what the case needs) calls
case.skip(reason): the case is listed as skipped with the reason, and a run
of only skipped cases exits with 77."""
import ast
import concurrent.futures
import filecmp
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import secure_boot  # noqa: E402
from screen import find_in_order, render, screen_text  # noqa: E402
from vm import Vm, VmFailure  # noqa: E402
import bad_memory  # noqa: E402
import fleet  # noqa: E402
import machine_check  # noqa: E402
import modules  # noqa: E402
import numa  # noqa: E402
import stick_report  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SERIAL_PRODUCT = "cellcheck-serial"
MIB = 1 << 20

# What the program prints, as the lines a user sees.
AMOUNT = re.compile(r"(?:\(premap: \d+\.\d\d\) )?Amount of RAM mapped by BIOS: (\d+\.\d\d) GB")
NOTE = [
    "Note that some RAM may be missing if your BIOS creates a 'RAM hole' below 4GB,",
    "or if your video card shares system memory (this is very common on motherboards"
    " with built-in video). Other plug-in hardware can also reserve system memory, ",
    "though typically only a few MB. Your BIOS may allow you to adjust these options.",
]
SCORE = re.compile(r" Cellcheck Ratemark64 \(mixed CPU/RAM benchmark\): (.*)")
BASELINE = [
    "Baseline = 100 (Phenom 9750 2.4GHz, DDR2 5300; 200 would mean your machine is",
    "twice as fast). Use this to see if overclocking has sped up this computer, OR ",
    "how much faster it is than a typical 2009 system.",
]


def _full_testing_lines():
    """The lines of the notice that endless testing begins, as the screen
    shows them. The program prints app/full_testing_notice.inc, C string
    literals that read the same in Python."""
    with open(os.path.join(ROOT, "app", "full_testing_notice.inc")) as f:
        notice = ast.literal_eval("(" + f.read() + ")")
    lines = render(notice.encode("latin-1"))
    while lines and not lines[0]:
        lines.pop(0)
    while lines and not lines[-1]:
        lines.pop()
    return lines


FULL_TESTING = _full_testing_lines()
PROGRESS = re.compile(rb"\r *(\d+)% coverage, +(\d+) errors \[([#-]{50})\][/\\]")
PRETEST = b"Preparing and pre-testing memory..."
# The opening's first test: each word against the value it should hold.
SWEEP = re.compile(r" Sweep against expected values: (no errors|\d+ wrong words) in \d+ s\.")
TESTING_CPUS = re.compile(r"Testing with (\d+) CPUs? on (\d+) memory nodes?")
ESTIMATE = re.compile(r" Full testing reaches 100 % coverage in about \d+ (s|min|h \d+ min|d \d+ h) at this speed\.")
# Where reports go, by the medium booted.
REPORTS = {
    "usb": rb"Reports: on the boot stick, partition 3 \(CELLCHECK\)\r?\n",
    "cd": rb"Reports: none \(booted from a CD\)\r?\n",
    "network": rb"Reports: none \(booted from the network\)\r?\n",
}
# With the drivers that matched but found nothing, named in brackets.
NO_ECC = re.compile(r"ECC: no ECC reporting on this machine( \(.*\))?\.")
NO_SENSORS = "Temperatures: no sensors found"
# The start-up's own message when the machine has too little memory to test.
TOO_SMALL = re.compile(rb"Not enough memory to test")


class Case:
    def __init__(self, image, logs):
        self.image = image
        self.build = os.path.dirname(image)  # the build folder that made it
        self.logs = logs
        self.notes = []

    def vm(self, name, args, memory_mib, firmware="bios", nic=("-nic", "none"),
           accel="tcg"):
        return Vm(name, list(nic) + args, memory_mib,
                  os.path.join(self.logs, name + ".log"), firmware, accel=accel)

    def note(self, text):
        self.notes.append(text)

    def skip(self, reason):
        """Ends the case as skipped: `reason` names what this host lacks."""
        raise Skipped(reason)


class Skipped(Exception):
    pass


SKIPPED = 77  # the exit status of a run whose cases were all skipped


def serial_kernel_args(image):
    """The kernel command line of the boot menu's serial entry, as the build
    wrote it into the ISO's menu."""
    with open(os.path.join(image, "grub.cfg")) as f:
        cfg = f.read()
    entry = re.search(r'--id serial \{\s*linux \S*/boot/vmlinuz ([^\n]*)', cfg)
    return entry.group(1).strip()


def direct_boot(case, name, memory_mib, extra_args=""):
    """Boots the kernel and initramfs straight from QEMU, with the serial
    entry's command line (and `extra_args`); a panic ends QEMU."""
    return case.vm(name, [
        "-kernel", os.path.join(case.image, "vmlinuz"),
        "-initrd", os.path.join(case.image, "initramfs.img"),
        "-append", f"{serial_kernel_args(case.image)} {extra_args} panic=-1",
    ], memory_mib)


def expect_first_lines(vm, timeout):
    """The banner, then the amount line. Returns the amount in GiB."""
    # 55 line feeds clear the screen; the banner comes after them.
    vm.expect(rb"(?:\r?\n){55}", timeout, "the line feeds that clear the screen")
    vm.expect(rb"Cellcheck", 10, "the banner")
    banner_at = vm.seconds()
    amount = vm.expect(rb"Amount of RAM mapped by BIOS: (\d+\.\d\d) GB", 60,
                       "the amount line")
    return banner_at, float(amount.group(1))


def check_amount(gib, memory_mib):
    """The amount line counts all RAM the kernel maps, so it is the VM's RAM
    within a few per cent (and the rounding to hundredths of a GB)."""
    shown_mib = gib * 1024
    assert abs(shown_mib - memory_mib) <= 0.03 * memory_mib + 6, (
        f"amount {gib:.2f} GB does not fit a VM of {memory_mib} MiB")


_memtotal_lock = threading.Lock()
_memtotal_kib = {}


def memtotal_kib(case, memory_mib):
    """MemTotal in a VM of this size with this kernel, from a boot of the
    same kernel whose /init only prints it."""
    with _memtotal_lock:
        if memory_mib not in _memtotal_kib:
            # One image per size: cases run as processes of their own, at once.
            probe_image = os.path.join(case.logs, f"meminfo-probe-{memory_mib}M.img")
            subprocess.run([sys.executable, os.path.join(ROOT, "image", "initramfs.py"),
                            os.path.join(case.build, "tests", "e2e", "meminfo_probe"),
                            probe_image], check=True)
            with case.vm(f"meminfo-{memory_mib}M", [
                    "-kernel", os.path.join(case.image, "vmlinuz"),
                    "-initrd", probe_image,
                    "-append", "quiet console=ttyS0,115200 panic=-1"], memory_mib) as vm:
                line = vm.expect(rb"MemTotal: +(\d+) kB", 60, "MemTotal")
            _memtotal_kib[memory_mib] = int(line.group(1))
        return _memtotal_kib[memory_mib]


def test_area_bytes(vm):
    """The size of the test area, read from outside the guest: the largest
    writable user-space mapping of the running process, as the guest's page
    tables show it (the area is one block and every page of it has been
    written by then). Sampled a few times in case the program is not the one
    on the CPU."""
    best = 0
    for _ in range(5):
        for start, end, prot in re.findall(
                r"([0-9a-f]{16})-([0-9a-f]{16}) [0-9a-f]{16} (\S+)",
                vm.monitor("info mem")):
            if prot == "urw":
                best = max(best, int(end, 16) - int(start, 16))
        if best:
            return best
        time.sleep(1)
    raise AssertionError("no user-space mapping seen in the guest")


def share(case, vm, memory_mib):
    """Notes the test area's share of MemTotal; returns both in bytes."""
    area = test_area_bytes(vm)
    memtotal = memtotal_kib(case, memory_mib) * 1024
    case.note(f"test area {area / MIB:.0f} MiB: {100 * area / memtotal:.1f} % of "
              f"MemTotal ({memtotal / MIB:.0f} MiB) in a VM of {memory_mib} MiB")
    return area, memtotal


def test_direct_boot_full_flow(case):
    with direct_boot(case, "direct-256M", 256) as vm:
        banner_at, amount = expect_first_lines(vm, 60)
        check_amount(amount, 256)
        vm.expect(re.escape(PRETEST), 120, "the pre-test")
        vm.expect(rb"Ratemark64[^\r\n]*: [^\r\n]*\r", 600, "the speed score")
        started_at = None
        coverages = []
        deadline = time.monotonic() + 300
        while len(coverages) < 2 or coverages[-1] <= coverages[0]:
            assert time.monotonic() < deadline, f"coverage did not rise: {coverages}"
            line = vm.expect(PROGRESS, 300, "a progress line with more coverage")
            started_at = started_at or vm.seconds()
            coverages.append(int(line.group(1)))
            assert line.group(2) == b"0", f"errors on a fault-free VM: {line.group(0)!r}"
            assert coverages == sorted(coverages), f"coverage fell: {coverages}"
        # The opening sequence counts 57 passes: 2.85 %, shown as 3.
        assert coverages[0] == 3, f"first progress line shows {coverages[0]} %"
        case.note(f"banner after {banner_at:.0f} s, progress after {started_at:.0f} s, "
                  f"coverage {coverages[0]} -> {coverages[-1]} % after {vm.seconds():.0f} s")
        share(case, vm, 256)

        output = bytes(vm.output)
        lines = render(output)
        blank_run = 0
        for index, line in enumerate(lines):
            if line.strip() and blank_run >= 55:
                break
            blank_run = 0 if line.strip() else blank_run + 1
        else:
            raise AssertionError("no 55 line feeds clearing the screen before the banner")
        banner = lines[index:]
        score = find_in_order(banner, [
            re.compile(r".*Cellcheck.*"),
            AMOUNT,
            NOTE,
            # QEMU has neither a memory controller EDAC knows nor a
            # temperature sensor: both lines say so, and nothing else of
            # the temperatures shows; a kernel started straight from QEMU
            # has no stick to write reports to.
            [NO_ECC, NO_SENSORS,
             "Reports: none (not booted from the image's boot menu on a stick)",
             "Initializing...."],
            TESTING_CPUS,
            "Preparing and pre-testing memory...",
            ["", SWEEP, " Running fast write tests..."],
            [" Running quick serial tests 0..9:", " Finished quick test 9."],
            [" Running copy tests 0..19:", "", " Finished copy test 19"],
            [" Cleaning up...", ""],
            SCORE,
        ])[-1]
        sweep = find_in_order(banner, [TESTING_CPUS, SWEEP])[-1]
        assert sweep.group(1) == "no errors", f"the sweep on a fault-free VM: {sweep.group(0)!r}"
        case.note(sweep.group(0).strip())
        value = float(score.group(1))
        assert math.isfinite(value) and value > 0, f"speed score {score.group(1)!r}"
        find_in_order(banner, [SCORE, ESTIMATE, BASELINE, [""] + FULL_TESTING + [" "],
                               re.compile(r" *\d+% coverage,  0 errors \[[#-]{50}\][/\\]")])
        quick = re.findall(rb"Finished quick test (\d+)\.", output)
        copies = re.findall(rb"Finished copy test (\d+)\r", output)
        assert quick == [b"%d" % i for i in range(10)], f"quick tests {quick}"
        assert copies == [b"%d" % i for i in range(20)], f"copy tests {copies}"
        assert b"Error" not in output and b"ERROR" not in output, "an error was reported"
        assert output.count(b"Temperature") == 1, "temperature lines beyond the start-up line"


def test_direct_boot_3g(case):
    memory = 3072
    with direct_boot(case, "direct-3G", memory) as vm:
        # Before the program starts, the kernel's early memory check goes over
        # all 3 GiB, under emulation and silently (quiet): minutes on a busy
        # host.
        banner_at, amount = expect_first_lines(vm, 300)
        check_amount(amount, memory)
        vm.expect(re.escape(PRETEST), 180, "the pre-test")
        vm.expect(rb"Running fast write tests", 300, "the end of the pre-test")
        case.note(f"banner after {banner_at:.0f} s, pre-test done after {vm.seconds():.0f} s")
        area, memtotal = share(case, vm, memory)
        # The area is what the program could obtain less 28 MiB and a
        # reserve of 0.03 %: nearly all of MemTotal on a VM this size.
        assert 0.9 * memtotal <= area <= memtotal - 28 * MIB, (
            f"test area {area / MIB:.0f} MiB for MemTotal {memtotal / MIB:.0f} MiB")


def test_too_small_vm(case):
    # The kernel hands the bare word to the first process as an argument and
    # the NAME=VALUE words as its environment: what the DHCP client gives its
    # lease script. The first process must not take itself for the script
    # (it would return, and the kernel panic).
    lease_script_lookalike = "bound CELLCHECK_LEASE_FOLDER=/run/x interface=eth0"
    with direct_boot(case, "direct-too-small", 96, lease_script_lookalike) as vm:
        expect_first_lines(vm, 60)
        vm.expect(TOO_SMALL, 60, "the message that memory is too small")
        vm.stays_up(10)
        assert PRETEST not in vm.output, "tried to test an area after all"


def iso_drive(case, medium):
    iso = os.path.join(case.image, "cellcheck.iso")
    if medium == "cd":
        return ["-cdrom", iso]
    # The ISO written to a USB stick as it is.
    return ["-drive", f"if=none,id=stick,format=raw,snapshot=on,file={iso}",
            "-device", "qemu-xhci", "-device", "usb-storage,drive=stick,bootindex=0"]


def iso_case(firmware, medium):
    def test(case):
        memory = 512 if firmware == "uefi" else 256  # GRUB for UEFI fails in 256 MiB
        with case.vm(f"iso-{firmware}-{medium}",
                     iso_drive(case, medium) + ["-smbios", f"type=1,product={SERIAL_PRODUCT}"],
                     memory, firmware) as vm:
            banner_at, amount = expect_first_lines(vm, 120)
            check_amount(amount, memory)
            vm.expect(REPORTS[medium], 120, "the line that says where reports go")
            # OVMF here has no Secure Boot; BIOS has none at all.
            state = b"off" if firmware == "uefi" else rb"not available \(started by BIOS"
            vm.expect(rb"Secure Boot: " + state, 120, "the Secure Boot line")
            case.note(f"banner after {banner_at:.0f} s")
    test.__name__ = f"test_iso_{firmware}_{medium}"
    return test


def test_iso_menu_by_keys(case):
    """A person at a serial terminal picks the serial entry with the arrow key.
    Under UEFI, where the firmware copies its own console to the serial port,
    the menu must still reach the serial line once, not twice."""
    with case.vm("iso-menu-keys", iso_drive(case, "cd"), 512, "uefi") as vm:
        vm.expect(rb"Cellcheck on the serial port", 60, "the boot menu")
        vm.expect(rb"automatically in", 30, "the menu's countdown")
        vm.send(b"\x1b[B")
        time.sleep(0.5)
        vm.send(b"\r")
        expect_first_lines(vm, 120)
        titles = vm.output.count(b"GNU GRUB  version")
        assert titles == 1, f"the menu title reached the serial line {titles} times"


def test_iso_default_entry_uses_screen(case):
    """Without a key press the menu boots the screen entry: Cellcheck appears
    on the screen, and the serial line gets kernel messages only."""
    with case.vm("iso-default-screen", iso_drive(case, "cd"), 256) as vm:
        vm.expect(rb"Booting `Cellcheck'", 60, "the default entry")
        deadline = time.monotonic() + 120
        while b"Amount of RAM mapped by BIOS" not in screen_text(vm):
            assert time.monotonic() < deadline, "the amount line never showed on the screen"
            vm.stays_up(2)
        assert b"Cellcheck" in screen_text(vm), "no banner on the screen"
        assert b"Amount of RAM" not in vm.output, "the program's output reached the serial line"


def netboot_case(firmware):
    def test(case):
        memory = 512 if firmware == "uefi" else 256
        nic = ("-nic", "user,model=virtio-net-pci,restrict=on,tftp="
               + os.path.join(case.image, "netboot") + ",bootfile=cellcheck.ipxe")
        with case.vm(f"netboot-{firmware}",
                     ["-boot", "n", "-smbios", f"type=1,product={SERIAL_PRODUCT}"],
                     memory, firmware, nic) as vm:
            banner_at, amount = expect_first_lines(vm, 180)
            check_amount(amount, memory)
            vm.expect(REPORTS["network"], 120, "the line that says there are no reports")
            case.note(f"banner after {banner_at:.0f} s")
    test.__name__ = f"test_netboot_{firmware}"
    return test


def test_image_is_reproducible(case):
    """A build from a copy of the binary with another date, at another path,
    gives the same bytes as the image under test (built from the binary
    itself): one more build, not two, since the image is there already."""
    with tempfile.TemporaryDirectory() as tmp:
        binary = os.path.join(tmp, "cellcheck")
        out = os.path.join(tmp, "image")
        os.makedirs(out)
        shutil.copy(os.path.join(case.build, "app", "cellcheck"), binary)
        date = 1e9  # 2001: no build of today's has this date
        os.utime(binary, (date, date))
        # Linked, not copied: the unpacked kernel package is large.
        shutil.copytree(os.path.join(case.image, "cache"), os.path.join(out, "cache"),
                        copy_function=os.link)
        subprocess.run([os.path.join(ROOT, "image", "build.sh"), binary, out],
                       check=True, stdout=subprocess.DEVNULL)
        for name in ("initramfs.img", "cellcheck.iso"):
            assert filecmp.cmp(os.path.join(case.image, name), os.path.join(out, name),
                               shallow=False), \
                f"{name} differs between two builds (or {case.image} is not built " \
                f"from {case.build}/app/cellcheck)"


# About how long each case took in one run of the whole suite, two at a
# time on a 2-core machine (seconds, rounded; ctest keeps the last run's in
# build/Testing/Temporary/CTestCostData.txt). Only their order counts: ctest
# starts the cases in CASES's order, and the longest first keeps both of its
# slots busy until the end instead of leaving one long case alone at the
# end. A case missing here counts as the longest (the modules' history,
# three boots of one stick, until it has a figure).
SECONDS = {
    "test_report_on_usb_stick": 600,
    "test_four_cpus_two_nodes": 340,
    "test_fleet_two_guests": 260,
    "test_secure_boot_cd_screen": 220,
    "test_direct_boot_3g": 160,
    "test_direct_boot_full_flow": 145,
    "test_machine_check": 105,
    "test_secure_boot_usb_stick": 105,
    "test_planted_fault": 100,
    "test_secure_boot_netboot": 90,
    "test_iso_uefi_cd": 85,
    "test_iso_uefi_usb": 70,
    "test_iso_default_entry_uses_screen": 65,
    "test_iso_menu_by_keys": 65,
    "test_iso_bios_cd": 65,
    "test_netboot_uefi": 55,
    "test_area_at_4g": 50,
    "test_image_is_reproducible": 45,
    "test_iso_bios_usb": 45,
    "test_too_small_vm": 25,
    "test_missing_memory_line": 20,
    "test_netboot_bios": 20,
    "test_unsigned_loader_refused": 20,
    "test_loaders_are_the_locked_packages": 1,
}

CASES = sorted([
    *modules.CASES,
    *stick_report.CASES,
    fleet.test_fleet_two_guests,
    test_direct_boot_full_flow,
    test_direct_boot_3g,
    *numa.CASES,
    *secure_boot.CASES,
    iso_case("uefi", "cd"),
    iso_case("uefi", "usb"),
    netboot_case("uefi"),
    iso_case("bios", "cd"),
    iso_case("bios", "usb"),
    test_iso_menu_by_keys,
    test_iso_default_entry_uses_screen,
    netboot_case("bios"),
    *modules.SHORT_CASES,
    test_too_small_vm,
    test_image_is_reproducible,
    *bad_memory.CASES,
    *machine_check.CASES,
], key=lambda case: -SECONDS.get(case.__name__, float("inf")))


def run(test, image, logs):
    case = Case(image, logs)
    started = time.monotonic()
    skipped = None
    try:
        test(case)
        error = None
    except Skipped as e:
        error, skipped = None, str(e)
    except (AssertionError, VmFailure) as e:
        error = str(e) or traceback.format_exc()
    except Exception:  # a broken harness counts as a failure too
        error = traceback.format_exc()
    return test.__name__, time.monotonic() - started, case.notes, error, skipped


def main():
    if sys.argv[1:] == ["--list"]:
        print("\n".join(c.__name__ for c in CASES))
        return 0
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    image = os.path.abspath(sys.argv[1])
    wanted = sys.argv[2:]
    unknown = set(wanted) - {c.__name__ for c in CASES}
    if unknown:
        print(f"e2e: no such case: {' '.join(sorted(unknown))}", file=sys.stderr)
        return 2
    cases = [c for c in CASES if not wanted or c.__name__ in wanted]
    logs = os.path.join(os.path.dirname(image), "e2e")
    os.makedirs(logs, exist_ok=True)
    jobs = int(os.environ.get("E2E_JOBS", "2"))
    failed = skips = 0
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        for name, seconds, notes, error, skipped in pool.map(
                lambda c: run(c, image, logs), cases):
            status = "FAIL" if error else "skip" if skipped else "ok  "
            print(f"{status} {name} ({seconds:.0f} s)")
            for text in notes:
                print(f"     {text}")
            if skipped:
                skips += 1
                print(f"     skipped: {skipped}")
            if error:
                failed += 1
                print("     " + error.replace("\n", "\n     "))
            sys.stdout.flush()
    print(f"e2e: {len(cases) - failed - skips} passed, {failed} failed, {skips} skipped")
    if failed:
        return 1
    return SKIPPED if skips == len(cases) else 0


if __name__ == "__main__":
    sys.exit(main())
