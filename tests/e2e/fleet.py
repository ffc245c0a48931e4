"""End-to-end fleet tests: Cellcheck machines on a network of their own,
with the fleet recipe of docs/fleet.md run as written (Debian's dnsmasq for DHCP,
TFTP and iPXE, Debian's rsyslog as the collector), all inside a network
namespace the test makes and removes: nothing leaves it.

One run boots two guests at once, each on a tap device of a bridge: one
straight from the kernel with a virtio network card, one netbooted by
iPXE with an e1000 card, both with a one-minute time limit and their own
SMBIOS serial numbers. A bit flipped from outside in the first one's test
area (as bad_memory.py does) makes it fail: its error and summary events
and its FAIL verdict reach the collector beside the other's PASS."""
import calendar
import os
import re
import shutil
import subprocess
import tempfile
import time

import bad_memory
import event_lines
from vm import Vm

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RECIPE_PAGE = os.path.join(ROOT, "docs", "fleet.md")
# The fleet's network, as the recipe has it. 192.0.2.0/24 is set
# aside for documentation; here it exists only inside the test's namespace.
SERVER = "192.0.2.1"
BRIDGE = "fleet0"
MAX_DATAGRAM = 480
# The kernel-booted guest also writes its events on its first serial port,
# which is its console too: the lines must be there whole, the same events
# the collector got.
SERIAL_LINES = "cellcheck.log=serial"
# An RFC 5424 line as rsyslog's RSYSLOG_SyslogProtocol23Format writes it.
LINE = re.compile(r"<(\d+)>1 (\S+) (\S+) (\S+) (\S+) (\S+) (\[.*?[^\\]\]|-) ?(.*)")


def recipe(name):
    """The recipe's indented block after <!-- fleet:NAME -->, dedented."""
    with open(RECIPE_PAGE) as f:
        text = f.read()
    start = text.index(f"<!-- fleet:{name} -->")
    lines = []
    for line in text[start:].splitlines()[1:]:
        if line.startswith("    ") or (not line.strip() and not lines):
            lines.append(line[4:])
        elif line.strip():
            break
        else:
            lines.append("")
    return "\n".join(lines).strip() + "\n"


def run(*command, **kwargs):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, **kwargs)


def missing_host_parts():
    """What this host lacks for the fleet test, or None."""
    if os.geteuid() != 0:
        return "needs root to make a network namespace"
    if not os.path.exists("/dev/net/tun"):
        return "no /dev/net/tun for the guests' tap devices"
    for tool in ("ip", "dnsmasq", "rsyslogd"):
        if shutil.which(tool) is None and not os.path.exists(f"/usr/sbin/{tool}"):
            return f"no {tool} (Debian's iproute2, dnsmasq-base, rsyslog)"
    probe = f"cellcheck-probe-{os.getpid()}"
    try:
        run("ip", "netns", "add", probe)
    except subprocess.CalledProcessError as e:
        return f"cannot make a network namespace: {e.stdout.strip()}"
    run("ip", "netns", "delete", probe)
    return None


class FleetNetwork:
    """A namespace with a bridge at SERVER/24, taps for the guests, and
    dnsmasq and rsyslogd started from the recipe."""

    def __init__(self, work, netboot_files, taps):
        self.work = work
        self.namespace = f"cellcheck-fleet-{os.getpid()}"
        self.exec = ["ip", "netns", "exec", self.namespace]
        self.processes = []
        self.collector = os.path.join(work, "collector")
        self.raw_log = os.path.join(work, "raw.log")
        self.dnsmasq_log = os.path.join(work, "dnsmasq.log")
        os.makedirs(self.collector)
        self.tftp = os.path.join(work, "tftp")
        shutil.copytree(netboot_files, self.tftp)
        # dnsmasq serves TFTP as an unprivileged user.
        for folder in (work, self.tftp):
            os.chmod(folder, 0o755)
        run("ip", "netns", "add", self.namespace)
        try:
            self._link(taps)
            self._rsyslog()
            self._dnsmasq()
        except BaseException:
            self.close()
            raise

    def _ip(self, *args):
        run("ip", "-n", self.namespace, *args)

    def _link(self, taps):
        self._ip("link", "set", "lo", "up")
        self._ip("link", "add", BRIDGE, "type", "bridge")
        self._ip("addr", "add", f"{SERVER}/24", "dev", BRIDGE)
        self._ip("link", "set", BRIDGE, "up")
        for tap in taps:
            self._ip("tuntap", "add", "dev", tap, "mode", "tap")
            self._ip("link", "set", tap, "master", BRIDGE)
            self._ip("link", "set", tap, "up")

    def _start(self, name, command):
        log = open(os.path.join(self.work, name + ".out"), "wb")
        process = subprocess.Popen(self.exec + command, stdout=log,
                                   stderr=subprocess.STDOUT)
        self.processes.append((process, log))
        return process

    def _rsyslog(self):
        config = os.path.join(self.work, "rsyslog.conf")
        spool = os.path.join(self.work, "spool")
        os.makedirs(spool)
        # The test's own additions: a work folder, and every datagram as it
        # came, to measure its size, in the recipe's ruleset.
        text = recipe("rsyslog").replace("/var/log/cellcheck", self.collector)
        end = text.rindex("}")
        text = (text[:end]
                + f'  action(type="omfile" file="{self.raw_log}" template="rawDatagram")\n'
                + text[end:])
        with open(config, "w") as f:
            f.write(f'global(workDirectory="{spool}")\n')
            f.write('template(name="rawDatagram" type="string" string="%rawmsg%\\n")\n')
            f.write(text)
        process = self._start("rsyslogd", [
            "rsyslogd", "-n", "-f", config, "-i", os.path.join(self.work, "rsyslogd.pid")])
        self._wait_udp_listener(process, 514, "rsyslogd")

    def _dnsmasq(self):
        config = os.path.join(self.work, "dnsmasq.conf")
        with open(config, "w") as f:
            # As written, but the fleet's interface is the test's bridge and
            # the lease lasts 2 minutes (dnsmasq's shortest), so that the
            # guests renew it while they test.
            f.write(recipe("dnsmasq").replace("interface=eth1", f"interface={BRIDGE}")
                    .replace("/srv/tftp", self.tftp).replace(",12h", ",2m"))
        process = self._start("dnsmasq", [
            "dnsmasq", "--keep-in-foreground", f"--conf-file={config}",
            f"--pid-file={os.path.join(self.work, 'dnsmasq.pid')}",
            f"--dhcp-leasefile={os.path.join(self.work, 'dnsmasq.leases')}",
            f"--log-facility={self.dnsmasq_log}", "--log-dhcp"])
        self._wait_udp_listener(process, 67, "dnsmasq")

    def _wait_udp_listener(self, process, port, name):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if process.poll() is not None:
                raise AssertionError(f"{name} ended at once; see {self.work}/{name}.out")
            sockets = run(*self.exec, "ss", "-uln").stdout
            if re.search(rf":{port}\s", sockets):
                return
            time.sleep(0.2)
        raise AssertionError(f"{name} does not listen on UDP port {port}")

    def messages(self):
        """Every message at the collector, by the file rsyslog wrote for
        each machine: {file name: [LINE match, ...]}."""
        found = {}
        for name in sorted(os.listdir(self.collector)):
            with open(os.path.join(self.collector, name), errors="replace") as f:
                found[name] = [LINE.match(line) for line in f if line.strip()]
        return found

    def close(self):
        for process, log in self.processes:
            if process.poll() is None:
                process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            log.close()
        subprocess.run(["ip", "netns", "delete", self.namespace],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def fleet_options(seconds):
    """The recipe's options for a fleet, with a short time limit."""
    line = recipe("options").strip()
    assert "cellcheck.time=48h" in line, line
    return line.replace("cellcheck.time=48h", f"cellcheck.time={seconds}s")


def ipxe_script_with(options, path):
    """The image's iPXE script with the options added to its kernel lines,
    as the recipe says."""
    with open(path) as f:
        script = f.read()
    script, count = re.subn(r"^(kernel .*)$", rf"\1 {options}", script, flags=re.M)
    assert count >= 1, "no kernel line in the iPXE script"
    with open(path, "w") as f:
        f.write(script)


def plant_fault(vm):
    """Flips one bit of a word in bank A of the running test until the
    program reports it. Returns its guest-physical address and the bit."""
    area_mib = int(re.search(rb"Test area: (\d+) MiB", bytes(vm.output)).group(1))
    start, end = bad_memory.test_area(vm)
    planted = bad_memory.guest_physical(vm, start + area_mib * (1 << 20) // 4 + 0x7ac)
    bit = 13
    searched_from = len(vm.output)
    deadline = time.monotonic() + 60
    while not bad_memory.PAIR.search(bytes(vm.output), searched_from):
        assert time.monotonic() < deadline, "the planted fault was never reported"
        flipped = bad_memory.flip(vm, planted, bit)
        # Until the program rewrites the word, the flip may still be seen.
        while (bad_memory.word_at(vm, planted) == flipped
               and not bad_memory.PAIR.search(bytes(vm.output), searched_from)
               and time.monotonic() < deadline):
            time.sleep(0.5)
    return planted, bit


def test_fleet_two_guests(case):
    """Two machines test for a minute at once against one collector: each
    names itself by its serial number, loads the driver for its own card,
    gets its lease and log server from DHCP, sends start, progress and
    verdict events, shows the verdict and powers off. The first one has a
    bad bit and fails; the second passes."""
    lacking = missing_host_parts()
    if lacking:
        case.skip(lacking)
    seconds = 60
    options = fleet_options(seconds)
    guests = {
        # serial: (card, MAC, how it boots)
        "FLEET-VIRTIO-1": ("virtio-net-pci", "52:54:00:c1:00:01", "kernel"),
        "FLEET-E1000-2": ("e1000", "52:54:00:c1:00:02", "ipxe"),
    }
    work = tempfile.mkdtemp(prefix="cellcheck-fleet-")
    network = FleetNetwork(work, os.path.join(case.image, "netboot"),
                           [f"tap{i}" for i in range(len(guests))])
    vms = {}
    started = {}
    try:
        ipxe_script_with(options, os.path.join(network.tftp, "cellcheck.ipxe"))
        for index, (serial, (card, mac, boot)) in enumerate(guests.items()):
            args = ["-netdev", f"tap,id=net0,ifname=tap{index},script=no,downscript=no",
                    "-device", f"{card},netdev=net0,mac={mac}",
                    "-smbios", f"type=1,product=cellcheck-serial,serial={serial}"]
            if boot == "kernel":
                args += ["-kernel", os.path.join(case.image, "vmlinuz"),
                         "-initrd", os.path.join(case.image, "initramfs.img"),
                         "-append", "quiet console=tty0 console=ttyS0,115200 panic=-1 "
                         + options + " " + SERIAL_LINES]
            else:
                args += ["-boot", "n"]
            started[serial] = time.time()
            vms[serial] = Vm(f"fleet-{serial}", args, 256,
                             os.path.join(case.logs, f"fleet-{serial}.log"),
                             launcher=network.exec)
        first_event = {}
        for serial, vm in vms.items():
            vm.expect(rb"Drivers loaded: [^\r\n]*\.", 300, "the drivers loaded")
            vm.expect(rb"Network: eth0 has [0-9.]+; events go to "
                      + re.escape(SERVER.encode()) + rb":514\.", 120, "the lease")
        faulty = vm = vms["FLEET-VIRTIO-1"]
        vm.expect(rb"Full testing of RAM begins now", 600, "full testing")
        planted, bit = plant_fault(vm)
        for serial, vm in vms.items():
            verdict = "FAIL" if vm is faulty else "PASS"
            vm.expect(rb"VERDICT: " + verdict.encode(), 900, "the verdict " + verdict)
            vm.expect(rb"Tested \d+ MiB for [0-9.]+ hours, [0-9.]+ % coverage, "
                      + (rb"[1-9]\d* errors?\." if vm is faulty else rb"0 errors\."),
                      10, "the verdict's figures")
            if vm is faulty:
                vm.expect(rb"Keep Linux off them", 10, "the summary in the verdict")
            vm.expect(rb"Events that could not be sent to the collector: 0\.", 10,
                      "no lost events")
        for serial, vm in vms.items():
            try:
                code = vm.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                raise AssertionError(f"{serial} did not power off after its verdict")
            assert code == 0, f"{serial}: QEMU ended with {code}"
            assert b"reboot: Power down" in vm.output, f"{serial} did not power down"
        # The last datagrams may still be on their way into the file.
        time.sleep(2)

        output = {serial: bytes(vm.output).decode(errors="replace")
                  for serial, vm in vms.items()}
        check_drivers(output)
        check_collector(case, network, guests, started)
        check_serial_lines(case, network, vms["FLEET-VIRTIO-1"])
        check_fault_events(case, network, planted, bit)
        check_renewal(network, guests)
        for serial in guests:
            area = re.search(r"Test area: (\d+) MiB", output[serial]).group(1)
            freed = re.search(r"Module files \(([0-9.]+) MiB\) are dropped",
                              output[serial]).group(1)
            case.note(f"{serial}: test area {area} MiB, {freed} MiB of module "
                      "files freed for it")
        for name in os.listdir(network.collector):
            shutil.copy(os.path.join(network.collector, name),
                        os.path.join(case.logs, "fleet-collector-" + name))
    finally:
        for vm in vms.values():
            vm.close()
        network.close()
        for name in os.listdir(work):
            if name.endswith((".out", ".log")) and os.path.isfile(os.path.join(work, name)):
                shutil.copy(os.path.join(work, name), os.path.join(case.logs, "fleet-" + name))
        shutil.rmtree(work, ignore_errors=True)


def check_drivers(output):
    virtio = re.search(r"Drivers loaded: ([^\r\n]*)\.", output["FLEET-VIRTIO-1"]).group(1)
    e1000 = re.search(r"Drivers loaded: ([^\r\n]*)\.", output["FLEET-E1000-2"]).group(1)
    assert "virtio_net" in virtio.split(", ") and "e1000" not in virtio.split(", "), virtio
    assert e1000.split(", ") == ["e1000"], e1000
    for text in output.values():
        assert "non-free-firmware" in text, "no word on missing firmware"


def check_collector(case, network, guests, started):
    files = network.messages()
    assert sorted(files) == sorted(f"{serial}.log" for serial in guests), (
        f"collector files {sorted(files)}")
    for serial in guests:
        lines = files[f"{serial}.log"]
        assert all(lines), f"{serial}: a line that is not RFC 5424"
        msgids = [m.group(6) for m in lines]
        for m in lines:
            assert m.group(3) == serial, f"HOSTNAME {m.group(3)} in {serial}'s file"
            assert m.group(4) == "cellcheck", f"APP-NAME {m.group(4)}"
            assert m.group(7).startswith("[cellcheck@32473 "), m.group(7)
        assert msgids[0] == "start" and msgids[-1] == "verdict", msgids
        # Progress when full testing begins and every tenth of the minute.
        assert msgids.count("progress") >= 4, msgids
        start, verdict = lines[0].group(0), lines[-1].group(0)
        assert f'serial="{serial}"' in start and 'area="' in start, start
        # Both boot through the BIOS: no Secure Boot, as the kernel's log says.
        assert 'secureboot="bios"' in start, start
        assert 'unsent="0"' in verdict, verdict
        # A virtual machine has no temperature sensors: no event names any.
        assert not any(re.search(r' temp\w+="', m.group(7)) for m in lines), (
            f"{serial}: temperatures without sensors")
        if serial == "FLEET-E1000-2":
            assert 'result="PASS"' in verdict and 'errors="0"' in verdict, verdict
            assert "error" not in msgids, msgids
        seqs = [int(re.search(r'seq="(\d+)"', m.group(7)).group(1)) for m in lines]
        assert seqs == list(range(1, len(seqs) + 1)), f"{serial}: lost events {seqs}"
        # The guest's clock is the host's, to the second.
        first = calendar.timegm(time.strptime(lines[0].group(2), "%Y-%m-%dT%H:%M:%SZ"))
        case.note(f"{serial}: {len(lines)} events ({', '.join(sorted(set(msgids)))}), "
                  f"the first {first - started[serial]:.0f} s after QEMU started")
    with open(network.raw_log, "rb") as f:
        sizes = [len(line.rstrip(b"\n")) for line in f if line.strip()]
    assert sizes and max(sizes) <= MAX_DATAGRAM, f"datagram sizes {sizes}"
    case.note(f"{len(sizes)} datagrams of {min(sizes)} to {max(sizes)} bytes")


def check_serial_lines(case, network, vm):
    """The events on the guest's serial port, between the console's lines,
    are the collector's, one for one: the same message parts, numbered
    alike."""
    lines = event_lines.serial_events(bytes(vm.output))
    on_port = [(e["msgid"], e["sd"], e["msg"] or "") for e in lines]
    collected = [(m.group(6), m.group(7), m.group(8))
                 for m in network.messages()["FLEET-VIRTIO-1.log"]]
    assert [event_lines.seq(e) for e in lines] == list(range(1, len(lines) + 1)), (
        "events missing on the serial port")
    assert on_port == collected, (
        f"serial port {len(on_port)} events, collector {len(collected)}: "
        f"first difference {next((a, b) for a, b in zip(on_port + [None], collected + [None]) if a != b)}")
    case.note(f"FLEET-VIRTIO-1: the same {len(lines)} events on its serial port")


def check_fault_events(case, network, planted, bit):
    """The faulty guest's error events name the planted word's address and
    bit; its summary and a FAIL verdict follow."""
    lines = network.messages()["FLEET-VIRTIO-1.log"]
    errors = [m.group(0) for m in lines if m.group(6) == "error"]
    assert errors, "no error event"
    first = errors[0]
    assert f'addressA="{planted:#x}"' in first and f'bits="{1 << bit:#x}"' in first, first
    assert 'error="1"' in first and 'indexA="' in first and 'valueA="' in first, first
    summaries = [m.group(0) for m in lines if m.group(6) == "summary"]
    assert any("memmap=" in line for line in summaries), summaries
    verdict = lines[-1].group(0)
    assert 'result="FAIL"' in verdict and 'errors="0"' not in verdict, verdict
    case.note(f"planted bit {bit} at {planted:#x}: {len(errors)} error event(s), "
              f"{len(summaries)} summary part(s), FAIL at the collector")


def check_renewal(network, guests):
    """Each guest renewed its two-minute lease while its test area held
    nearly all its memory: its card still receives with the small free
    reserve start-up sets."""
    with open(network.dnsmasq_log, errors="replace") as f:
        log = f.read()
    for serial, (card, mac, boot) in guests.items():
        acks = re.findall(rf"DHCPACK\(\S+\) \S+ {mac}", log)
        # The netbooted guest's firmware took a lease before Cellcheck did.
        wanted = 3 if boot == "ipxe" else 2
        assert len(acks) >= wanted, f"{serial}: {len(acks)} DHCPACKs, no renewal"
