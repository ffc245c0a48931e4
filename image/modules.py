#!/usr/bin/python3
"""Puts the image's kernel modules into a folder tree for the initramfs:
the modules named in a list, with every module they need, copied byte for
byte from the unpacked kernel package (Debian signs them: their signatures
are appended, so they are never stripped), and modules.dep, modules.alias
and modules.softdep made for exactly that set with Debian's depmod.

Debian 13 ships its modules compressed (module.ko.xz); they stay so, a
fifth of their size unpacked: the program deletes the module files before it
measures the memory, and freshly freed pages can sit on the kernel's per-CPU
lists, where the measurement does not count them yet. The kernel unpacks a
module itself (finit_module with MODULE_INIT_COMPRESSED_FILE) and checks the
signature on what it unpacked. A listed name that the kernel has built in
(modules.builtin) needs no file and is left out.

Usage: modules.py KERNEL_PACKAGE_FOLDER TREE LIST
KERNEL_PACKAGE_FOLDER holds usr/lib/modules/RELEASE/ (or lib/modules/RELEASE/)
as dpkg-deb -x left it; the modules go to TREE/lib/modules/RELEASE/."""
import os
import shutil
import subprocess
import sys
import tempfile

# What depmod writes that the loader reads; the rest is left out.
INDEX_FILES = ("modules.dep", "modules.alias", "modules.softdep")


def module_name(path):
    return os.path.basename(path).split(".ko")[0].replace("-", "_")


def modules_folder(package):
    """The package's modules folder: usr/lib/modules since Debian 13,
    lib/modules before."""
    for folder in (os.path.join(package, "usr", "lib", "modules"),
                   os.path.join(package, "lib", "modules")):
        if os.path.isdir(folder):
            return folder
    sys.exit(f"modules.py: no lib/modules in {package}")


def run_depmod(base, release, config):
    # An empty configuration folder: the build machine's own depmod.d must
    # not change what the image gets. Whichever of lib/modules and
    # usr/lib/modules this machine's depmod reads, it finds the modules.
    os.makedirs(os.path.join(base, "usr", "lib"), exist_ok=True)
    usr_modules = os.path.join(base, "usr", "lib", "modules")
    if not os.path.lexists(usr_modules):
        os.symlink(os.path.join("..", "..", "lib", "modules"), usr_modules)
    subprocess.run(["depmod", "-b", base, "-C", config, release], check=True)


def read_index(folder):
    files, needs, soft = {}, {}, {}
    with open(os.path.join(folder, "modules.dep")) as f:
        for line in f:
            path, _, deps = line.partition(":")
            name = module_name(path)
            files[name] = path.strip()
            needs[name] = [module_name(d) for d in deps.split()]
    softdep = os.path.join(folder, "modules.softdep")
    if os.path.exists(softdep):
        with open(softdep) as f:
            for line in f:
                words = line.split()
                if len(words) < 2 or words[0] != "softdep":
                    continue
                soft.setdefault(module_name(words[1]), []).extend(
                    module_name(w) for w in words[2:] if w not in ("pre:", "post:"))
    return files, needs, soft


def builtin_names(source):
    path = os.path.join(source, "modules.builtin")
    if not os.path.exists(path):
        return set()
    with open(path) as f:
        return {module_name(line.strip()) for line in f if line.strip()}


def closure(wanted, files, needs, soft):
    chosen, todo = set(), list(wanted)
    while todo:
        name = todo.pop()
        if name in chosen or name not in files:
            continue
        chosen.add(name)
        todo.extend(needs.get(name, []) + soft.get(name, []))
    return chosen


def main():
    package, tree, listing = sys.argv[1:]
    modules = modules_folder(package)
    releases = os.listdir(modules)
    if len(releases) != 1:
        sys.exit(f"modules.py: expected one kernel release in {modules}, found {releases}")
    release = releases[0]
    source = os.path.join(modules, release)
    with open(listing) as f:
        wanted = [line.split("#")[0].strip() for line in f]
    builtin = builtin_names(source)
    wanted = [name for name in wanted if name and name not in builtin]

    with tempfile.TemporaryDirectory() as work:
        config = os.path.join(work, "depmod.d")
        os.mkdir(config)
        # The whole package's index, on links to its files (the unpacked
        # package in the cache stays as it is).
        full = os.path.join(work, "full")
        shutil.copytree(modules, os.path.join(full, "lib", "modules"),
                        copy_function=os.link)
        run_depmod(full, release, config)
        files, needs, soft = read_index(os.path.join(full, "lib", "modules", release))
        missing = [name for name in wanted if name not in files]
        if missing:
            sys.exit(f"modules.py: not in kernel {release}: {' '.join(missing)}")
        chosen = closure(wanted, files, needs, soft)

        # The chosen modules and their own index.
        image = os.path.join(work, "image")
        staged = os.path.join(image, "lib", "modules", release)
        os.makedirs(staged)
        for name in sorted(chosen):
            destination = os.path.join(staged, files[name])
            os.makedirs(os.path.dirname(destination), exist_ok=True)
            shutil.copyfile(os.path.join(source, files[name]), destination)
        for extra in ("modules.order", "modules.builtin", "modules.builtin.modinfo"):
            if os.path.exists(os.path.join(source, extra)):
                shutil.copyfile(os.path.join(source, extra), os.path.join(staged, extra))
        run_depmod(image, release, config)

        target = os.path.join(tree, "lib", "modules", release)
        os.makedirs(target, exist_ok=True)
        for name in sorted(chosen):
            destination = os.path.join(target, files[name])
            os.makedirs(os.path.dirname(destination), exist_ok=True)
            shutil.copyfile(os.path.join(staged, files[name]), destination)
        for entry in INDEX_FILES:
            shutil.copyfile(os.path.join(staged, entry), os.path.join(target, entry))
    print(" ".join(sorted(chosen)))


if __name__ == "__main__":
    main()
