"""End-to-end test of an uncorrected memory error: QEMU injects a machine
check into the running guest (monitor command `mce`) for a guest-physical
address inside the test area, as a memory controller reports a read of
memory it could not correct. Cellcheck, the guest's first process, must
report it with that address, go on testing on a fresh page, and the kernel
must not panic.

The guest has an Intel processor model (Nehalem): Linux recovers from such
an error on Intel's machine-check architecture; with an AMD model it treats
the same injection as fatal by itself. Three injections share one boot:

1. With a restart address (MCG_STATUS RIPV, EIPV, MCIP = 0x7): the kernel
   takes the page away and sends SIGBUS with BUS_MCEERR_AR and the page's
   address. Cellcheck reports the error with both addresses, replaces the
   page and keeps testing.
2. Without one (0x6, the status of a data-load error on real hardware): the
   same with Debian 13's kernel (6.12), which takes the page away whenever
   the processor gives a usable address (Debian 12's sent a plain SIGBUS).
3. With an address the processor gives in another form than a physical one
   (MCi_MISC address mode 0): the kernel cannot tell the page, sends a plain
   SIGBUS with no address and leaves the page where it is. Cellcheck cannot
   know which page to replace: it says so, stops with its stop message and
   waits; the kernel stays up.

QEMU emulates no memory controller that Linux's EDAC drivers know, so the
ECC counts are covered by the unit tests (tests/ecc, tests/app); here the
start-up line must say that there is no ECC reporting."""
import os
import re
import time

import bad_memory
from screen import render

PAGE = 4096
# An uncorrected, action-required data-read error (MCA code 0x134) with a
# valid physical address (MISC 0x86: address mode physical, 64-byte grain),
# in bank 1.
MCE_STATUS = 0xbd80000000100134
MCE_MISC = 0x86
# The same, the address given as a segment offset (address mode 0).
MCE_MISC_NOT_PHYSICAL = 0x06
WITH_RESTART_ADDRESS = 0x7  # RIPV | EIPV | MCIP
WITHOUT_RESTART_ADDRESS = 0x6  # EIPV | MCIP

NO_ECC = rb"ECC: no ECC reporting on this machine"
REPORTED = re.compile(
    rb"Uncorrected memory error \(machine check\) at virtual address "
    rb"(0x[0-9a-f]+), met by the program's read;")
COUNTED = re.compile(rb"Error (\d+), after +\d+ % coverage")
PHYSICAL = re.compile(rb"Physical address: (0x[0-9a-f]+) \(page (0x[0-9a-f]+)-(0x[0-9a-f]+)\)")
STOPPED_WITHOUT_ADDRESS = rb"The kernel ended the test with SIGBUS and no address"
STOP = rb"Cellcheck has stopped; switch the machine off\."
PROGRESS = rb"\d+% coverage, +\d+ errors \["


def inject_in_user_mode(vm, physical, mcg_status, misc=MCE_MISC):
    """Injects the machine check while the guest runs the program (its code
    segment is the user's, 0x33): with the guest stopped, so that it is
    delivered at a user-mode instruction, as a read of the program's."""
    for _ in range(100):
        vm.monitor("stop")
        try:
            registers = vm.monitor("info registers")
            if re.search(r"CS =0033", registers):
                vm.monitor(f"mce 0 1 {MCE_STATUS:#x} {mcg_status:#x} "
                           f"{physical:#x} {misc:#x}")
                return
        finally:
            vm.monitor("cont")
        time.sleep(0.1)
    raise AssertionError("the guest never ran the program when looked at")


def direct_boot(case, name, memory_mib):
    """The kernel and initramfs straight from QEMU on an Intel processor
    model, with the serial entry's command line; no early check (it would
    take a minute of emulated time)."""
    return case.vm(name, [
        "-cpu", "Nehalem",
        "-kernel", os.path.join(case.image, "vmlinuz"),
        "-initrd", os.path.join(case.image, "initramfs.img"),
        "-append", f"{bad_memory.kernel_args(case.image)} memtest=0 panic=-1",
    ], memory_mib)


def test_machine_check(case):
    with direct_boot(case, "machine-check", 256) as vm:
        vm.expect(NO_ECC, 300, "the start-up line without ECC reporting")
        vm.expect(rb"Running fast write tests", 600, "the end of the pre-test")
        start, end = bad_memory.test_area(vm)
        # A word a quarter into the area (bank A), on a page of its own.
        virtual = start + (end - start) // 4 + 0x7a8
        physical = bad_memory.guest_physical(vm, virtual)
        searched_from = vm.position
        inject_in_user_mode(vm, physical, WITH_RESTART_ADDRESS)

        replaced, count, kept_off = expect_reported(vm, virtual, physical)
        assert count == 1, f"counted as error {count}"
        assert kept_off == {physical & ~(PAGE - 1)}, f"memmap= keeps off {kept_off}"
        # Testing goes on: the opening's later tests run.
        vm.expect(rb"Finished quick test 2\.", 600, "testing after the machine check")
        case.note(f"machine check at {physical:#x} (virtual {virtual:#x}) reported; "
                  f"the page moved to {replaced:#x} and testing went on")
        case.note("transcript:\n" + transcript(bytes(vm.output), searched_from))

        # The same error without a restart address, as real hardware
        # reports a read: the same outcome.
        virtual = start + (end - start) // 2 + 0x3c0
        physical = bad_memory.guest_physical(vm, virtual)
        inject_in_user_mode(vm, physical, WITHOUT_RESTART_ADDRESS)
        replaced, _, kept_off = expect_reported(vm, virtual, physical)
        assert physical & ~(PAGE - 1) in kept_off, f"memmap= keeps off only {kept_off}"
        vm.expect(PROGRESS, 600, "testing after the second machine check")
        case.note(f"without a restart address: machine check at {physical:#x} reported; "
                  f"the page moved to {replaced:#x} and testing went on")

        # An error whose address is no physical one.
        other = bad_memory.guest_physical(vm, start + (end - start) // 8 + 0x100)
        stopped_from = vm.position
        inject_in_user_mode(vm, other, WITH_RESTART_ADDRESS, MCE_MISC_NOT_PHYSICAL)
        vm.expect(STOPPED_WITHOUT_ADDRESS, 120, "the stop without an address")
        vm.expect(STOP, 10, "the stop message")
        vm.stays_up(20)
        case.note("without a physical address:\n" +
                  transcript(bytes(vm.output), stopped_from))


def expect_reported(vm, virtual, physical):
    """The report of a machine check at `physical`, met by the program's
    read at `virtual`: both pages named and a fresh page in the lost one's
    place. Returns the fresh page's frame, the error's number and the pages
    the next summary's memmap= line keeps off."""
    reported = vm.expect(REPORTED, 120, "the machine check's report")
    counted = vm.expect(COUNTED, 10, "the error count")
    shown = vm.expect(PHYSICAL, 10, "its physical address")
    assert int(reported.group(1), 16) == virtual & ~(PAGE - 1), (
        f"reported virtual {reported.group(1).decode()}, the page is "
        f"{virtual & ~(PAGE - 1):#x}")
    assert int(shown.group(1), 16) == physical & ~(PAGE - 1), (
        f"reported physical {shown.group(1).decode()}, injected at {physical:#x}")
    # The summary keeps the next boot off the page (shown at most once a
    # minute).
    summary = vm.expect(bad_memory.LINUX_LINE, 120, "the summary's memmap= line")
    # A fresh page stands where the lost one was.
    replaced = bad_memory.guest_physical(vm, virtual) & ~(PAGE - 1)
    assert replaced != physical & ~(PAGE - 1), (
        "the program's page is still on the poisoned frame")
    return (replaced, int(counted.group(1)),
            bad_memory.memmap_pages(summary.group(1).decode()))


def transcript(output, start):
    """What the console showed from `start` on (kernel lines included), up
    to 40 lines."""
    lines = [line.rstrip() for line in render(output[start:]) if line.strip()]
    return "\n".join(lines[:40])


CASES = [test_machine_check]
