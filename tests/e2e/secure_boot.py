"""End-to-end cases for UEFI Secure Boot: the ISO (as a CD and as a USB
stick) and netboot under OVMF with Secure Boot on and Microsoft's keys, as on
most PCs sold today; and the control, a loader without a signature, which that
firmware must refuse. run.py runs them with the other cases."""
import difflib
import os
import re
import shutil
import struct
import subprocess
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OVMF_SECURE_CODE = "/usr/share/OVMF/OVMF_CODE_4M.secboot.fd"
# Microsoft's keys enrolled. shim writes its SBAT variable into the store,
# so every boot starts from a fresh copy.
OVMF_MS_VARS = "/usr/share/OVMF/OVMF_VARS_4M.ms.fd"
BANNER = rb"Cellcheck RAM tester"
# Cellcheck's own line, from the kernel's log.
SECURE_BOOT_ON = rb"Secure Boot: on\r?\n"
# The kernel's lines (shown only with a verbose log level).
KERNEL_LOCKED_DOWN = rb"Kernel is locked down from EFI Secure Boot"
KERNEL_SECURE_BOOT = rb"secureboot: Secure boot enabled"
# GRUB's keys: next entry in the menu and next line in the editor, end of
# line, boot. Under UEFI both GRUB and the firmware read the serial port,
# each with its own buffer: an escape sequence (an arrow key) split between
# them is lost, and bytes sent in one go can come out of order. So: single
# bytes, typed one at a time.
NEXT_LINE, END_OF_LINE, BOOT = b"\x0e", b"\x05", b"\x18"
MEMORY_MIB = 512
EFI_SYSTEM_PARTITION = bytes.fromhex("28732ac11ff8d211ba4b00a0c93ec93b")


def secure_boot_vm(case, name, args, nic=("-nic", "none")):
    """A q35 machine with OVMF's Secure Boot firmware, which QEMU loads from
    the flash drives given here."""
    store = os.path.join(case.logs, name + ".vars.fd")
    shutil.copyfile(OVMF_MS_VARS, store)
    firmware = [
        "-machine", "q35,smm=on",
        "-global", "driver=cfi.pflash01,property=secure,value=on",
        "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={OVMF_SECURE_CODE}",
        "-drive", f"if=pflash,format=raw,unit=1,file={store}",
    ]
    return case.vm(name, firmware + args, MEMORY_MIB, "flash", nic)


def drive(iso, medium):
    if medium == "cd":
        return ["-cdrom", iso]
    # The ISO written to a USB stick as it is.
    return ["-drive", f"if=none,id=stick,format=raw,snapshot=on,file={iso}",
            "-device", "qemu-xhci", "-device", "usb-storage,drive=stick,bootindex=0"]


def boot_verbose(vm, serial_entry):
    """At the boot menu, picks the screen or the serial entry and boots it
    with the kernel's informational messages on the console, edited in by
    keys as a person would; then waits for the kernel's own lines that say
    Secure Boot was on: the firmware enforced it, so the kernel locked
    itself down."""
    vm.expect(rb"automatically in", 180, "the boot menu")
    title = b"Cellcheck on the serial port" if serial_entry else b"Cellcheck'"
    if serial_entry:
        vm.send(NEXT_LINE)
        vm.expect(rb"\*Cellcheck on the serial port", 30, "the serial entry highlighted")
    vm.send(b"e")
    vm.expect(rb"setparams '" + title, 30, "GRUB's editor on the entry")
    # The entry's lines: GRUB's setparams, the blank after "{", linux.
    for key in [NEXT_LINE, NEXT_LINE, END_OF_LINE] + [bytes([c]) for c in b" loglevel=7"]:
        vm.send(key)
        time.sleep(0.3)
    vm.expect(rb"console=ttyS?\S* loglevel=7", 30, "the edited kernel line")
    vm.send(BOOT)
    vm.expect(KERNEL_LOCKED_DOWN, 120, "the kernel's lockdown line")
    vm.expect(KERNEL_SECURE_BOOT, 10, "the kernel's Secure Boot line")


def expect_banner_secure(case, vm):
    """The banner, then Cellcheck's Secure Boot line, on the serial line."""
    vm.expect(BANNER, 120, "the banner")
    banner_at = vm.seconds()
    vm.expect(rb"Initializing\.\.\.\.\r?\n", 120, "the end of the measurement")
    vm.expect(SECURE_BOOT_ON, 5, "Cellcheck's Secure Boot line")
    case.note(f"banner after {banner_at:.0f} s")


def test_secure_boot_usb_stick(case):
    """The stick under Secure Boot, its serial entry picked by keys."""
    iso = os.path.join(case.image, "cellcheck.iso")
    with secure_boot_vm(case, "secure-boot-usb", drive(iso, "usb")) as vm:
        boot_verbose(vm, serial_entry=True)
        expect_banner_secure(case, vm)


def test_secure_boot_netboot(case):
    """The firmware's own PXE fetches shim over TFTP, shim fetches Debian's
    signed network GRUB, which reads its menu from the server."""
    netboot = os.path.join(case.image, "netboot")
    # No iPXE option ROM: the firmware's own network driver and PXE, as on
    # a PC.
    nic = ("-netdev", f"user,id=net,restrict=on,tftp={netboot},bootfile=shimx64.efi",
           "-device", "virtio-net-pci,netdev=net,romfile=")
    with secure_boot_vm(case, "secure-boot-netboot", ["-boot", "n"], nic) as vm:
        vm.expect(rb"Fetching Netboot Image grubx64\.efi", 180, "shim fetching GRUB")
        boot_verbose(vm, serial_entry=True)
        expect_banner_secure(case, vm)


def ocr(vm, path):
    """The screen's text, as OCR reads QEMU's picture of it."""
    vm.monitor(f"screendump {path}")
    read = subprocess.run(["tesseract", path, "stdout"], capture_output=True,
                          text=True, timeout=120)
    return read.stdout


def shows(text, phrase):
    """True when some line of OCR text holds phrase, allowing a misread
    letter or two."""
    for line in text.splitlines():
        for start in range(max(1, len(line) - len(phrase) + 1)):
            window = line[start:start + len(phrase)]
            if difflib.SequenceMatcher(None, phrase, window).ratio() >= 0.9:
                return True
    return False


def test_secure_boot_cd_screen(case):
    """The CD under Secure Boot with the screen entry: Cellcheck draws on the
    screen, readable (QEMU's standard VGA, where GRUB's own drivers would
    leave the kernel a mode it does not know)."""
    iso = os.path.join(case.image, "cellcheck.iso")
    wanted = ["Cellcheck RAM tester", "Amount of RAM mapped by BIOS",
              "Secure Boot: on", "Preparing and pre-testing memory"]
    with secure_boot_vm(case, "secure-boot-cd-screen", drive(iso, "cd")) as vm:
        boot_verbose(vm, serial_entry=False)
        picture = os.path.join(case.logs, "secure-boot-cd-screen.ppm")
        deadline = time.monotonic() + 180
        text = ""
        while not all(shows(text, phrase) for phrase in wanted):
            assert time.monotonic() < deadline, (
                f"the screen never showed {wanted}; OCR read:\n{text}")
            vm.stays_up(5)
            text = ocr(vm, picture)
        case.note(f"screen readable after {vm.seconds():.0f} s")
        assert b"Amount of RAM" not in vm.output, "the program's output reached the serial line"


def efi_partition_offset(image):
    """The byte offset of the EFI system partition in a GPT disk image."""
    with open(image, "rb") as f:
        f.seek(512)
        header = f.read(92)
        assert header[:8] == b"EFI PART", "no GPT in the image"
        entries_lba, count, size = struct.unpack_from("<QII", header, 72)
        f.seek(entries_lba * 512)
        table = f.read(count * size)
    for index in range(count):
        entry = table[index * size:(index + 1) * size]
        if entry[:16] == EFI_SYSTEM_PARTITION:
            return struct.unpack_from("<Q", entry, 32)[0] * 512
    raise AssertionError("no EFI system partition in the image")


def certificate_table(pe):
    """The offset of the PE32+ image's Authenticode certificate table, its
    size, and where its entry in the data directory is."""
    header = struct.unpack_from("<I", pe, 0x3C)[0]
    optional = header + 24
    assert struct.unpack_from("<H", pe, optional)[0] == 0x20B, "not a PE32+ image"
    entry = optional + 112 + 4 * 8  # data directory 4
    table, size = struct.unpack_from("<II", pe, entry)
    return table, size, entry


def signer_chains(pe):
    """For each signature of the image, the certificates it carries as
    openssl prints them (subject and issuer)."""
    table, size, _ = certificate_table(pe)
    chains = []
    at = table
    while at < table + size:
        length = struct.unpack_from("<I", pe, at)[0]
        chains.append(subprocess.run(
            ["openssl", "pkcs7", "-inform", "der", "-print_certs", "-noout"],
            input=pe[at + 8:at + length], capture_output=True, check=True).stdout.decode())
        at += (length + 7) & ~7
    return chains


def without_signature(pe):
    """The PE image without its Authenticode signatures (the certificate
    table, which is its last part)."""
    table, size, entry = certificate_table(pe)
    assert size and table + size == len(pe), "no certificate table at the end"
    return pe[:entry] + bytes(8) + pe[entry + 8:table]


def test_unsigned_loader_refused(case):
    """The control: the same stick with shim's signatures taken off. The
    firmware that starts the signed stick must refuse this one."""
    iso = os.path.join(case.logs, "unsigned-loader.iso")
    shutil.copyfile(os.path.join(case.image, "cellcheck.iso"), iso)
    esp = f"{iso}@@{efi_partition_offset(iso)}"
    loader = os.path.join(case.logs, "unsigned-BOOTX64.EFI")
    subprocess.run(["mcopy", "-n", "-i", esp, "::/EFI/BOOT/BOOTX64.EFI", loader], check=True)
    with open(loader, "rb") as f:
        signed = f.read()
    with open(loader, "wb") as f:
        f.write(without_signature(signed))
    subprocess.run(["mcopy", "-o", "-i", esp, loader, "::/EFI/BOOT/BOOTX64.EFI"], check=True)
    with secure_boot_vm(case, "secure-boot-unsigned", drive(iso, "usb")) as vm:
        refusal = vm.expect(rb"[^\r\n]*Access Denied", 120, "the firmware's refusal")
        vm.stays_up(5)
        case.note(f"refused after {vm.seconds():.0f} s: {refusal.group(0).decode().strip()}")
        assert not re.search(rb"GRUB|Booting|Cellcheck", vm.output), "the unsigned loader ran"


def test_loaders_are_the_locked_packages(case):
    """The ISO's EFI partition and the netboot folder carry exactly the signed
    files of the packages the build took (cache/used.txt), and image/sbat.sh
    reads their SBAT generations from the ISO."""
    cache = os.path.join(case.image, "cache")
    with open(os.path.join(cache, "used.txt")) as f:
        used = {line.split()[0]: line.split()[1] for line in f}

    def package_file(name, path):
        with open(os.path.join(cache, f"{name}_{used[name]}", path), "rb") as f:
            return f.read()

    shim = package_file("shim-signed", "usr/lib/shim/shimx64.efi.signed")
    signed = "usr/lib/grub/x86_64-efi-signed/"
    iso = os.path.join(case.image, "cellcheck.iso")
    esp = f"{iso}@@{efi_partition_offset(iso)}"
    for medium, loader, expected in [
            ("iso", "BOOTX64.EFI", shim),
            ("iso", "grubx64.efi", package_file("grub-efi-amd64-signed",
                                                signed + "gcdx64.efi.signed")),
            ("netboot", "shimx64.efi", shim),
            ("netboot", "grubx64.efi", package_file("grub-efi-amd64-signed",
                                                    signed + "grubnetx64.efi.signed"))]:
        if medium == "iso":
            found = subprocess.run(["mtype", "-i", esp, f"::/EFI/BOOT/{loader}"],
                                   check=True, capture_output=True).stdout
        else:
            with open(os.path.join(case.image, "netboot", loader), "rb") as f:
                found = f.read()
        assert found == expected, f"{medium}'s {loader} is not the locked package's"
    # Firmware that trusts only Microsoft's newer CA must accept shim too.
    chains = signer_chains(shim)
    for ca in ("Microsoft Corporation UEFI CA 2011", "Microsoft UEFI CA 2023"):
        assert any(f"CN = {ca}" in chain for chain in chains), f"shim is not signed under {ca}"
    report = subprocess.run([os.path.join(ROOT, "image", "sbat.sh"), iso], check=True,
                            capture_output=True, text=True).stdout
    generations = re.findall(r"^  (shim|grub),(\d+),", report, re.M)
    assert [name for name, _ in generations] == ["shim", "grub"], report
    case.note(f"shim signed {len(chains)} times (UEFI CA 2011 and 2023); SBAT generations: "
              + ", ".join(f"{n} {g}" for n, g in generations))


CASES = [
    test_secure_boot_cd_screen,
    test_secure_boot_usb_stick,
    test_secure_boot_netboot,
    test_unsigned_loader_refused,
    test_loaders_are_the_locked_packages,
]
