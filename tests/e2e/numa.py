"""End-to-end test of testing with every CPU on a machine of two memory
nodes: a guest of four CPUs (QEMU's multi-threaded TCG) in two NUMA nodes,
two CPUs each. One boot, a
timed run:

1. The start-up line names 4 CPUs on 2 memory nodes.
2. Each worker's slice of both banks is on its CPUs' node: sample pages of
   every slice, turned into guest-physical addresses from outside (QEMU's
   monitor), fall in that node's range of guest-physical memory. The slices
   are computed by the tester's own rule (base/bank_split.h,
   tester/bank_slices.h).
3. A machine check injected into worker 1's slice is survived: reported
   with its address, the page replaced, testing going on.
4. A bit flipped from outside in the last worker's slice (on node 1) is
   reported with its physical address.
5. The timed run ends with its verdict (FAIL, after both)."""
import os
import re
import time

import bad_memory
import machine_check
from vm import VmFailure

MIB = 1 << 20
PAGE = 4096
# Node 0 holds the kernel and the image besides its share of the area, so
# it runs out first: its last slice's tail comes from node 1.
NODE_MIB = (448, 448)
CPUS_OF_NODE = ("0-1", "2-3")
WORKERS = 4
NODE_OF_WORKER = (0, 0, 1, 1)

TESTING = rb"Testing with 4 CPUs on 2 memory nodes"
VERDICT = re.compile(rb"VERDICT: (PASS|FAIL)")


def node_of(physical):
    """The node whose guest-physical range holds `physical` (QEMU gives the
    nodes consecutive ranges from 0, in node order)."""
    return 0 if physical < NODE_MIB[0] * MIB else 1


def slices(start, area_bytes):
    """Each worker's slice as ((bank A begin, end), (bank B begin, end)),
    guest-virtual, by the tester's rule: bank B at the middle, slices cut at
    the page of bank A nearest to an equal share of words."""
    words = area_bytes // 8 & ~1
    bank_b = start + (area_bytes // 2 & ~3)

    def boundary(k):
        if k == 0:
            return 0
        if k >= WORKERS:
            return words
        share = start + words // WORKERS * k * 4
        page = (share + PAGE // 2) & ~(PAGE - 1)
        return min((page - start) // 4, words)

    return [((start + boundary(k) * 4, start + boundary(k + 1) * 4),
             (bank_b + boundary(k) * 4, bank_b + boundary(k + 1) * 4))
            for k in range(WORKERS)]


def sample(begin, end, count=12):
    """`count` page-aligned addresses inside [begin, end), away from its
    edges (a page shared with the next slice goes with one of the two)."""
    first = (begin + 2 * PAGE) & ~(PAGE - 1)
    step = max((end - first - 2 * PAGE) // count // PAGE * PAGE, PAGE)
    return [first + k * step + 0x40 for k in range(count)]


def guest_physical(vm, virtual):
    """The guest-physical address of one of the program's addresses, from
    whichever CPU has the program's page tables loaded (an idle CPU may have
    dropped them after a TLB flush)."""
    for _ in range(20):
        try:
            for cpu in range(WORKERS):
                vm.monitor(f"cpu {cpu}")
                found = re.search(r"gpa: (0x[0-9a-f]+)", vm.monitor(f"gva2gpa {virtual:#x}"))
                if found:
                    return int(found.group(1), 16)
        finally:
            vm.monitor("cpu 0")
        time.sleep(0.2)
    raise AssertionError(f"gva2gpa {virtual:#x}: unmapped on every CPU")


def inject_on_any_cpu(vm, physical):
    """Injects the machine check on a CPU that runs the program (its code
    segment the user's, 0x33) while the guest is stopped, broadcast to the
    others as Intel's processors signal it (the guest's handler waits for
    every CPU). Returns the CPU."""
    for _ in range(200):
        vm.monitor("stop")
        try:
            for cpu in range(WORKERS):
                vm.monitor(f"cpu {cpu}")
                if re.search(r"CS =0033", vm.monitor("info registers")):
                    vm.monitor(f"mce -b {cpu} 1 {machine_check.MCE_STATUS:#x} "
                               f"{machine_check.WITH_RESTART_ADDRESS:#x} {physical:#x} "
                               f"{machine_check.MCE_MISC:#x}")
                    return cpu
        finally:
            vm.monitor("cpu 0")
            vm.monitor("cont")
        time.sleep(0.1)
    raise AssertionError("no CPU of the guest ran the program when looked at")


def numa_boot(case, boot=1):
    args = [
        "-cpu", "Nehalem",
        "-smp", str(WORKERS),
        "-kernel", os.path.join(case.image, "vmlinuz"),
        "-initrd", os.path.join(case.image, "initramfs.img"),
        "-append", f"{bad_memory.kernel_args(case.image)} memtest=0 "
                   f"cellcheck.time=90s panic=-1",
    ]
    for node, mib in enumerate(NODE_MIB):
        args += ["-object", f"memory-backend-ram,id=m{node},size={mib}M",
                 "-numa", f"node,nodeid={node},cpus={CPUS_OF_NODE[node]},memdev=m{node}"]
    name = "numa-4cpus" if boot == 1 else f"numa-4cpus-boot{boot}"
    return case.vm(name, args, sum(NODE_MIB), accel="tcg,thread=multi")


# Multi-threaded TCG on a host with fewer cores than the guest has CPUs now
# and then runs a stale translation of kernel code another CPU is patching
# (the kernel's int3-based text patching at boot): the guest kernel oopses
# before the program starts. That is the emulator's, not the program's, and
# only a kernel that fails before the program's banner is booted again.
EMULATOR_OOPS = re.compile(rb"Oops: |general protection fault")
BOOTS = 3


def test_four_cpus_two_nodes(case):
    for boot in range(1, BOOTS + 1):
        with numa_boot(case, boot) as vm:
            try:
                area_line = vm.expect(bad_memory.TEST_AREA, 300, "the test area")
            except VmFailure:
                if (boot < BOOTS and b"Cellcheck" not in vm.output
                        and EMULATOR_OOPS.search(vm.output)):
                    case.note(f"boot {boot}: the guest kernel failed before the "
                              "program started (see its log); booted again")
                    continue
                raise
            check_four_cpus(case, vm, area_line)
            return


def check_four_cpus(case, vm, area_line):
    area_bytes = int(area_line.group(1)) * MIB
    vm.expect(TESTING, 10, "the line of 4 CPUs on 2 memory nodes")
    vm.expect(rb"Running fast write tests", 900, "the end of the pre-test")
    start, end = bad_memory.test_area(vm)
    assert end - start >= area_bytes, f"mapping {end - start} < area {area_bytes}"
    area_bytes = end - start  # to the page, as the program split it
    parts = slices(start, area_bytes)

    # Where each worker's pages are.
    shares = []
    for worker, banks in enumerate(parts):
        addresses = [a for begin, end_ in banks for a in sample(begin, end_)]
        nodes = [node_of(guest_physical(vm, a)) for a in addresses]
        on_node = nodes.count(NODE_OF_WORKER[worker])
        shares.append(f"worker {worker}: {on_node}/{len(nodes)}")
        # A node short of free memory lends its workers' last pages from
        # the other one; most of every slice is on its own node.
        assert on_node * 2 > len(nodes), (
            f"worker {worker}'s slice: {on_node} of {len(nodes)} sampled pages "
            f"on node {NODE_OF_WORKER[worker]}")
    case.note("sampled pages on their worker's node: " + ", ".join(shares))

    # A machine check in worker 1's slice (bank A, its middle).
    (a_begin, a_end), _ = parts[1]
    virtual = (a_begin + a_end) // 2 // PAGE * PAGE + 0x3c0
    physical = guest_physical(vm, virtual)
    cpu = inject_on_any_cpu(vm, physical)
    reported = vm.expect(machine_check.REPORTED, 120, "the machine check's report")
    shown = vm.expect(machine_check.PHYSICAL, 10, "its physical address")
    assert int(reported.group(1), 16) == virtual & ~(PAGE - 1), (
        f"reported virtual {reported.group(1).decode()}")
    assert int(shown.group(1), 16) == physical & ~(PAGE - 1), (
        f"reported physical {shown.group(1).decode()}, injected at {physical:#x}")
    replaced = guest_physical(vm, virtual) & ~(PAGE - 1)
    assert replaced != physical & ~(PAGE - 1), "the page is still on the poisoned frame"
    case.note(f"machine check at {physical:#x} in worker 1's slice, met on CPU "
              f"{cpu}, reported; "
              f"the page moved to {replaced:#x}")

    # A flip in the last worker's slice, on node 1.
    (a_begin, a_end), _ = parts[WORKERS - 1]
    planted = guest_physical(vm, (a_begin + a_end) // 2 // PAGE * PAGE + 0x7ac)
    assert node_of(planted) == 1, f"the last worker's word at {planted:#x} is not on node 1"
    bit = 5
    # Errors of the replaced page (its words were lost) come too: the
    # flip's own report names its address.
    named = re.compile(rb"Physical addresses: bank A %s, bank B 0x[0-9a-f]+ "
                       rb"\(either could be bad\); bits (0x[0-9a-f]{8}) differ"
                       % hex(planted).encode())
    searched_from = vm.position
    flips = 0
    first = None
    deadline = time.monotonic() + 600
    while first is None:
        assert time.monotonic() < deadline, f"{flips} flips, none reported"
        assert not VERDICT.search(bytes(vm.output), searched_from), (
            f"the verdict came before the flip was seen ({flips} flips)")
        flipped = bad_memory.flip(vm, planted, bit)
        flips += 1
        while (bad_memory.word_at(vm, planted) == flipped
               and time.monotonic() < deadline):
            first = named.search(bytes(vm.output), searched_from)
            if first:
                break
            time.sleep(0.5)
        first = first or named.search(bytes(vm.output), searched_from)
    assert int(first.group(1), 16) == 1 << bit, (
        f"bits {first.group(1).decode()}, flipped bit {bit}")
    case.note(f"flip at {planted:#x} (node 1, worker {WORKERS - 1}) reported "
              f"after {flips} flip(s)")

    verdict = vm.expect(VERDICT, 900, "the timed run's verdict")
    assert verdict.group(1) == b"FAIL", "the verdict after an error and a machine check"
    vm.stays_up(5)
    case.note(f"verdict {verdict.group(1).decode()} after {vm.seconds():.0f} s")


CASES = [test_four_cpus_two_nodes]
