#!/usr/bin/python3
"""Writes the boot image's initramfs: a gzip-compressed newc cpio archive whose
/init is the given static binary, with the files of an optional folder tree
beside it (the kernel modules and the DHCP client of unattended runs).

Written here rather than with a cpio tool so that it needs no root (the archive
carries a /dev/console device node) and gives the same bytes on every build:
fixed owners, times and inode numbers, no host file metadata.

Usage: initramfs.py BINARY OUTPUT [TREE]
"""
import gzip
import os
import stat
import sys

# Kept in this order: a directory comes before what it holds.
# /dev/console gives /init its standard streams even with a kernel whose own
# built-in archive lacks it; /dev/null takes the DHCP client's chatter; /proc
# and /sys are where the program mounts procfs and sysfs; /run holds the
# DHCP leases.
ENTRIES = [
    ("dev", stat.S_IFDIR | 0o755, None),
    ("dev/console", stat.S_IFCHR | 0o600, (5, 1)),
    ("dev/null", stat.S_IFCHR | 0o666, (1, 3)),
    ("proc", stat.S_IFDIR | 0o555, None),
    ("run", stat.S_IFDIR | 0o755, None),
    ("sys", stat.S_IFDIR | 0o555, None),
    ("init", stat.S_IFREG | 0o755, None),
]


def pad4(data):
    return data + b"\0" * (-len(data) % 4)


def member(ino, name, mode, rdev=(0, 0), data=b""):
    fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1],
              len(name) + 1, 0]  # uid, gid, mtime and device all zero
    header = b"070701" + b"".join(b"%08X" % f for f in fields)
    return pad4(header + name.encode() + b"\0") + pad4(data)


def tree_entries(tree):
    """The folders and files under tree, sorted (a folder before what it
    holds), with only the executable bit taken from the host."""
    found = []
    for folder, dirs, files in os.walk(tree):
        dirs.sort()
        relative = os.path.relpath(folder, tree)
        if relative != ".":
            found.append((relative, stat.S_IFDIR | 0o755, None))
        for name in sorted(files):
            path = os.path.join(folder, name)
            executable = os.stat(path).st_mode & 0o111
            found.append((os.path.normpath(os.path.join(relative, name)),
                          stat.S_IFREG | (0o755 if executable else 0o644), path))
    return found


def archive(init_binary, tree=None):
    parts = []
    entries = [(name, mode, rdev, None) for name, mode, rdev in ENTRIES]
    if tree:
        entries += [(name, mode, None, path) for name, mode, path in tree_entries(tree)]
    for ino, (name, mode, rdev, path) in enumerate(entries, start=1):
        data = init_binary if name == "init" else b""
        if path:
            with open(path, "rb") as f:
                data = f.read()
        parts.append(member(ino, name, mode, rdev or (0, 0), data))
    parts.append(member(0, "TRAILER!!!", 0))
    return b"".join(parts)


def main():
    binary_path, output_path = sys.argv[1:3]
    tree = sys.argv[3] if len(sys.argv) > 3 else None
    with open(binary_path, "rb") as f:
        cpio = archive(f.read(), tree)
    with open(output_path, "wb") as raw:
        # mtime=0 and no file name keep the gzip header free of build details.
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0,
                           compresslevel=9) as gz:
            gz.write(cpio)


if __name__ == "__main__":
    main()
