"""The kernel modules of a built image, read from its initramfs as the loader
finds them at boot: the machines it must serve match their drivers through
modules.alias, every EDAC driver of the kernel package is there, and every
module file the index names is in the image, signed (Secure Boot's lockdown
loads nothing else) and in a form the loader hands the kernel: plain, or
xz-compressed, which the kernel unpacks itself.

Usage: test_modules.py IMAGE_DIR (image/build.sh's output)."""
import fnmatch
import gzip
import lzma
import os
import sys
import unittest

IMAGE = None
SIGNATURE = b"~Module signature appended~\n"

# Devices by their modalias, as /sys shows them, and the module that must
# drive each.
MACHINES = [
    # A Zen 5 processor (EPYC 9005, Ryzen 9000: family 1Ah), whose memory
    # controllers Debian 12's kernel did not know.
    ("Zen 5 processor", "cpu:type:x86,ven0002fam001Amod0002:feature:,0000,0001,0002,"
     "0003,0004,0005,0006,0007", "amd64_edac"),
    ("Granite Rapids processor", "cpu:type:x86,ven0000fam0006mod00AD:feature:,0000,0001,"
     "0002,01C0", "i10nm_edac"),
    # The sensor on every DDR5 module, as the SMBus driver declares it.
    ("DDR5 module's sensor", "i2c:spd5118", "spd5118"),
    ("DDR4 module's sensor", "i2c:jc42", "jc42"),
    # A DDR4 module's SPD EEPROM, as the SMBus driver declares it: the
    # module by name.
    ("DDR4 module's EEPROM", "i2c:ee1004", "ee1004"),
    # The boot stick that reports go to: its USB controller (xHCI, EHCI,
    # OHCI, UHCI, by PCI class), the stick (mass storage, Bulk-Only and
    # UAS) and its disk.
    ("xHCI controller", "pci:v00001B36d0000000Dsv00001AF4sd00001100bc0Csc03i30", "xhci_pci"),
    ("EHCI controller", "pci:v00008086d000024CDsv00001AF4sd00001100bc0Csc03i20", "ehci_pci"),
    ("OHCI controller", "pci:v0000106Bd0000003Fsv00001AF4sd00001100bc0Csc03i10", "ohci_pci"),
    ("UHCI controller", "pci:v00008086d00007020sv00001AF4sd00001100bc0Csc03i00", "uhci_hcd"),
    ("USB stick", "usb:v46F4p0001d0000dc00dsc00dp00ic08isc06ip50in00", "usb_storage"),
    ("USB stick with UAS", "usb:v174Cp55AAd0100dc00dsc00dp00ic08isc06ip62in00", "uas"),
    ("the stick's disk", "scsi:t-0x00", "sd_mod"),
    ("Zen 5's temperature (data fabric)",
     "pci:v00001022d000012C3sv00000000sd00000000bc06sc00i00", "k10temp"),
    ("Intel processor's temperature", "cpu:type:x86,ven0000fam0006mod00B7:feature:,0000,"
     "0001,0002,01C0,01C2", "coretemp"),
    ("AMD's SMBus controller", "pci:v00001022d0000790Bsv00001849sd0000FFFFbc0Csc05i00",
     "i2c_piix4"),
    ("Intel's SMBus controller (Raptor Lake-S)",
     "pci:v00008086d00007A23sv00001849sd00007A23bc0Csc05i00", "i2c_i801"),
    # The PC speaker (its platform device, on every x86 machine), and the
    # event handler that gives its input device a file to write tones to.
    ("PC speaker", "platform:pcspkr", "pcspkr"),
    ("PC speaker's input device", "input:b0010v001Fp0001e0100-e0,12,kramls1,2,fw",
     "evdev"),
]


def initramfs_files(path):
    """The regular files of a gzip-compressed newc archive, by name."""
    with gzip.open(path, "rb") as f:
        data = f.read()
    files, at = {}, 0
    while True:
        assert data[at:at + 6] == b"070701", f"no newc header at {at}"
        fields = [int(data[at + 6 + 8 * i:at + 14 + 8 * i], 16) for i in range(13)]
        mode, size, name_size = fields[1], fields[6], fields[11]
        name = data[at + 110:at + 110 + name_size - 1].decode()
        at = (at + 110 + name_size + 3) & ~3
        if name == "TRAILER!!!":
            return files
        if mode & 0o170000 == 0o100000:
            files[name] = data[at:at + size]
        at = (at + size + 3) & ~3


class ImageModulesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.files = initramfs_files(os.path.join(IMAGE, "initramfs.img"))
        indexes = [name for name in cls.files if name.endswith("/modules.alias")]
        assert len(indexes) == 1, f"module indexes in the image: {indexes}"
        cls.folder = os.path.dirname(indexes[0])
        cls.aliases = [line.split()[1:] for line in
                       cls.files[indexes[0]].decode().splitlines()
                       if line.startswith("alias ")]

    def matching(self, modalias):
        return {module for pattern, module in self.aliases
                if fnmatch.fnmatchcase(modalias, pattern)}

    def test_each_machine_finds_its_driver(self):
        for what, modalias, module in MACHINES:
            with self.subTest(what):
                self.assertIn(module, self.matching(modalias))

    def test_every_edac_driver_of_the_kernel_package_is_in_the_image(self):
        cache = os.path.join(IMAGE, "cache")
        with open(os.path.join(cache, "used.txt")) as f:
            kernel = [line.split()[:2] for line in f if line.startswith("linux-image-")][0]
        package = os.path.join(cache, f"{kernel[0]}_{kernel[1].replace(':', '%3a')}")
        release = os.path.basename(self.folder)
        for modules in ("usr/lib/modules", "lib/modules"):
            edac = os.path.join(package, modules, release, "kernel", "drivers", "edac")
            if os.path.isdir(edac):
                break
        in_package = {name.split(".ko")[0] for name in os.listdir(edac)}
        in_image = {os.path.basename(name).split(".ko")[0] for name in self.files
                    if "/kernel/drivers/edac/" in name}
        self.assertEqual(in_package - in_image, set(),
                         "EDAC drivers of the kernel left out of image/modules.list")

    def test_every_module_the_index_names_is_there_and_signed(self):
        dep = self.files[self.folder + "/modules.dep"].decode()
        named = {word.rstrip(":") for line in dep.splitlines() for word in line.split()}
        self.assertTrue(named)
        for name in sorted(named):
            with self.subTest(name):
                data = self.files.get(f"{self.folder}/{name}")
                self.assertIsNotNone(data, "not in the image")
                self.assertRegex(name, r"\.ko(\.xz)?$")
                if name.endswith(".xz"):
                    data = lzma.decompress(data)
                self.assertEqual(data[:4], b"\x7fELF")
                self.assertTrue(data.endswith(SIGNATURE), "no signature")


if __name__ == "__main__":
    IMAGE = sys.argv.pop(1)
    unittest.main()
