"""image/fetch.sh and image/update-lock.sh against a small archive of our own:
apt-get and apt-cache stand-ins on PATH serve tiny packages made with
dpkg-deb, so every path (locked, gone, stale lists, a changed file, the
kernel's changing name) runs offline and fast. The image's own apt
configuration is checked with the real apt, offline too."""
import hashlib
import json
import os
import re
import subprocess
import tempfile
import textwrap
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FETCH = os.path.join(ROOT, "image", "fetch.sh")
UPDATE_LOCK = os.path.join(ROOT, "image", "update-lock.sh")

# The stand-ins read ARCHIVE (a JSON file): for each package, its versions
# (.deb path and SHA256) before and after "apt-get update", and what
# linux-image-amd64 depends on. Each call is logged to ARCHIVE.calls, and the
# apt configuration it was given (APT_CONFIG) to ARCHIVE.configs.
LOG_CALL = r'''
open(os.environ["ARCHIVE"] + ".configs", "a").write(os.environ.get("APT_CONFIG", "") + "\n")
'''
APT_CACHE = r'''#!/usr/bin/python3
import json, os, sys
archive = json.load(open(os.environ["ARCHIVE"]))
open(os.environ["ARCHIVE"] + ".calls", "a").write("apt-cache " + " ".join(sys.argv[1:]) + "\n")''' + LOG_CALL + r'''
lists = archive["updated" if os.path.exists(os.environ["ARCHIVE"] + ".updated") else "lists"]
command, arg = sys.argv[1], sys.argv[2]
if command == "show":
    name, version = arg.split("=")
    deb = lists.get(name, {}).get(version)
    if deb:
        print(f"Package: {name}\nVersion: {version}\nSHA256: {deb['sha256']}\n")
elif command == "depends":
    print(arg)
    print("  Depends: " + lists["linux-image-amd64"])
elif command == "policy":
    versions = sorted(v for v in lists.get(arg, {}))
    print(f"{arg}:\n  Installed: (none)\n  Candidate: {versions[-1] if versions else '(none)'}")
'''
APT_GET = r'''#!/usr/bin/python3
import json, os, shutil, sys
archive = json.load(open(os.environ["ARCHIVE"]))
args = [a for i, a in enumerate(sys.argv[1:]) if not a.startswith("-") and sys.argv[i] != "-o"]
open(os.environ["ARCHIVE"] + ".calls", "a").write("apt-get " + " ".join(args) + "\n")''' + LOG_CALL + r'''
if args[0] == "update":
    open(os.environ["ARCHIVE"] + ".updated", "w").close()
    sys.exit(0)
lists = archive["updated" if os.path.exists(os.environ["ARCHIVE"] + ".updated") else "lists"]
name, version = args[1].split("=")
deb = archive["files"].get(f"{name}_{version}")
if not deb or version not in lists.get(name, {}):
    sys.exit(100)
shutil.copy(deb, f"{name}_{version}_amd64.deb")
'''


def make_deb(folder, name, version, payload):
    """A package that installs /usr/share/NAME/payload."""
    tree = os.path.join(folder, f"tree-{name}-{version}")
    os.makedirs(os.path.join(tree, "DEBIAN"))
    os.makedirs(os.path.join(tree, "usr", "share", name))
    with open(os.path.join(tree, "DEBIAN", "control"), "w") as f:
        f.write(textwrap.dedent(f"""\
            Package: {name}
            Version: {version}
            Architecture: amd64
            Maintainer: Cellcheck tests <tests@invalid>
            Description: test package
            """))
    with open(os.path.join(tree, "usr", "share", name, "payload"), "w") as f:
        f.write(payload)
    deb = os.path.join(folder, f"{name}_{version}.deb")
    subprocess.run(["dpkg-deb", "-b", "--root-owner-group", tree, deb], check=True,
                   stdout=subprocess.DEVNULL)
    with open(deb, "rb") as f:
        return deb, hashlib.sha256(f.read()).hexdigest()


class FetchTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.cache = os.path.join(self.dir, "cache")
        self.files, self.sha = {}, {}
        for name, version in [("tool", "1.0"), ("tool", "2.0"),
                              ("linux-image-6-amd64", "6.1"),
                              ("linux-image-7-amd64", "7.1")]:
            deb, sha = make_deb(self.dir, name, version, f"{name} {version}\n")
            self.files[f"{name}_{version}"] = deb
            self.sha[f"{name}_{version}"] = sha
        bin_dir = os.path.join(self.dir, "bin")
        os.makedirs(bin_dir)
        for name, text in (("apt-cache", APT_CACHE), ("apt-get", APT_GET),
                           ("sudo", '#!/bin/sh\nexec "$@"\n')):
            path = os.path.join(bin_dir, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        self.archive = os.path.join(self.dir, "archive.json")
        self.lock = os.path.join(self.dir, "packages.lock")
        self.env = dict(os.environ, ARCHIVE=self.archive, PACKAGES_LOCK=self.lock,
                        IMAGE_CACHE=self.cache, PATH=bin_dir + ":" + os.environ["PATH"])

    def tearDown(self):
        self.tmp.cleanup()

    def serve(self, lists, updated=None):
        """The archive as the package lists say, and after apt-get update."""
        def index(packages):
            out = {}
            for name, versions in packages.items():
                if name == "linux-image-amd64":
                    out[name] = versions
                    continue
                out[name] = {v: {"sha256": self.sha[f"{name}_{v}"]} for v in versions}
            return out
        with open(self.archive, "w") as f:
            json.dump({"lists": index(lists), "updated": index(updated or lists),
                       "files": self.files}, f)

    def write_lock(self, *lines):
        with open(self.lock, "w") as f:
            f.write("# comment\n" + "".join(line + "\n" for line in lines))

    def line(self, name, version):
        return f"{name} {version} {self.sha[f'{name}_{version}']}"

    def fetch(self, name):
        return subprocess.run([FETCH, self.cache, name], env=self.env,
                              capture_output=True, text=True)

    def used(self):
        with open(os.path.join(self.cache, "used.txt")) as f:
            return f.read().splitlines()

    def apt_calls(self):
        path = self.archive + ".calls"
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return f.read().splitlines()

    def apt_configs(self):
        with open(self.archive + ".configs") as f:
            return set(f.read().splitlines())

    def assert_payload(self, result, name, version):
        self.assertEqual(result.returncode, 0, result.stderr)
        folder = result.stdout.strip()
        with open(os.path.join(folder, "usr", "share", name, "payload")) as f:
            self.assertEqual(f.read(), f"{name} {version}\n")

    def test_takes_the_locked_version_while_the_archive_has_it(self):
        self.serve({"tool": ["1.0", "2.0"]})
        self.write_lock(self.line("tool", "1.0"))
        result = self.fetch("tool")
        self.assert_payload(result, "tool", "1.0")
        self.assertEqual(result.stderr, "")
        self.assertEqual(self.used(), [self.line("tool", "1.0")])
        # Fetched once, then taken from the cache without asking apt.
        os.unlink(self.archive + ".calls")
        self.serve({})
        self.assert_payload(self.fetch("tool"), "tool", "1.0")
        self.assertEqual(self.apt_calls(), [])

    def test_takes_the_current_version_with_a_warning_when_the_locked_one_is_gone(self):
        self.serve({"tool": ["2.0"]})
        self.write_lock(self.line("tool", "1.0"))
        result = self.fetch("tool")
        self.assert_payload(result, "tool", "2.0")
        warning = result.stderr.splitlines()
        self.assertEqual(len(warning), 1, result.stderr)
        self.assertIn("tool 1.0 (locked) is gone", warning[0])
        self.assertEqual(self.used(), [self.line("tool", "2.0")])
        # The lists were refreshed once before giving up on the locked one.
        self.assertEqual([c for c in self.apt_calls() if c.startswith("apt-get update")],
                         ["apt-get update"])

    def test_stale_lists_are_refreshed_before_the_lock_is_given_up(self):
        self.serve({"tool": ["1.0"]}, updated={"tool": ["1.0", "2.0"]})
        self.write_lock(self.line("tool", "2.0"))
        result = self.fetch("tool")
        self.assert_payload(result, "tool", "2.0")
        self.assertEqual(result.stderr, "")

    def test_the_kernel_follows_linux_image_amd64_to_its_new_name(self):
        self.serve({"linux-image-amd64": "linux-image-7-amd64",
                    "linux-image-7-amd64": ["7.1"]})
        self.write_lock(self.line("tool", "1.0"), self.line("linux-image-6-amd64", "6.1"))
        os.makedirs(self.cache)
        with open(os.path.join(self.cache, "used.txt"), "w") as f:
            f.write(self.line("linux-image-6-amd64", "6.1") + "\n")
        result = self.fetch("linux-image-amd64")
        self.assert_payload(result, "linux-image-7-amd64", "7.1")
        self.assertIn("using linux-image-7-amd64 7.1", result.stderr)
        # The new kernel's line replaces the old one's.
        self.assertEqual(self.used(), [self.line("linux-image-7-amd64", "7.1")])

    def test_refuses_a_file_that_differs_from_the_lock(self):
        self.serve({"tool": ["1.0"]})
        self.write_lock("tool 1.0 " + "0" * 64)
        result = self.fetch("tool")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(self.sha["tool_1.0"], result.stderr)
        self.assertEqual(result.stdout, "")
        self.assertFalse(os.path.exists(os.path.join(self.cache, "tool_1.0")))

    def test_refuses_a_cached_package_that_differs_from_the_lock(self):
        self.serve({"tool": ["1.0"]})
        self.write_lock(self.line("tool", "1.0"))
        self.assertEqual(self.fetch("tool").returncode, 0)
        self.write_lock("tool 1.0 " + "0" * 64)
        result = self.fetch("tool")
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(result.stdout, "")

    def test_a_package_missing_from_the_lock_is_an_error(self):
        self.serve({"tool": ["1.0"]})
        self.write_lock(self.line("tool", "1.0"))
        result = self.fetch("other")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("update-lock.sh other", result.stderr)

    def test_update_lock_moves_every_package_forward_and_adds_new_ones(self):
        self.serve({"tool": ["2.0"], "linux-image-amd64": "linux-image-7-amd64",
                    "linux-image-7-amd64": ["7.1"]})
        self.write_lock(self.line("linux-image-6-amd64", "6.1"))
        subprocess.run([UPDATE_LOCK, "tool"], env=self.env, check=True,
                       capture_output=True)
        with open(self.lock) as f:
            self.assertEqual(f.read().splitlines(), [
                "# comment", self.line("linux-image-7-amd64", "7.1"),
                self.line("tool", "2.0")])

    def test_every_apt_call_goes_through_the_images_own_configuration(self):
        # The paths that ask apt most: a locked version gone, the kernel's
        # new name, and the lock moved forward.
        self.serve({"tool": ["2.0"], "linux-image-amd64": "linux-image-7-amd64",
                    "linux-image-7-amd64": ["7.1"]})
        self.write_lock(self.line("tool", "1.0"), self.line("linux-image-6-amd64", "6.1"))
        self.assertEqual(self.fetch("tool").returncode, 0)
        self.assertEqual(self.fetch("linux-image-amd64").returncode, 0)
        subprocess.run([UPDATE_LOCK], env=self.env, check=True, capture_output=True)
        self.assertIn("apt-get update", self.apt_calls())
        self.assertEqual(self.apt_configs(), {os.path.join(self.cache, "apt", "apt.conf")})


class ImageAptConfigurationTest(unittest.TestCase):
    """The configuration image/packages.sh writes, as the real apt reads it:
    Debian 13's archive and nothing of this machine's own apt set-up."""

    def test_names_debian_13_and_reads_nothing_of_this_machine(self):
        with tempfile.TemporaryDirectory() as state:
            script = (f'. "{ROOT}/image/packages.sh" && use_image_apt "$1" && '
                      'apt-get update --print-uris && echo POLICY && apt-cache policy && '
                      'eval "$(apt-config shell L Dir::State::lists/d S Dir::State::status/f '
                      'C Dir::Cache/d E Dir::Etc::sourceparts/d)" && '
                      'echo PATHS && printf "%s\\n" "$L" "$S" "$C" "$E"')
            env = {k: v for k, v in os.environ.items() if k != "APT_CONFIG"}
            result = subprocess.run(["bash", "-c", script, "-", state], env=env,
                                    capture_output=True, text=True, check=True)
            uris, rest = result.stdout.split("POLICY\n")
            policy, paths = rest.split("PATHS\n")
            # Its lists, package status, cache and sources all in its own
            # folder: apt-get update writes nowhere else.
            for path in paths.splitlines():
                self.assertTrue(os.path.realpath(path).startswith(os.path.realpath(state) + "/"),
                                path)
            self.assertEqual(sorted(re.findall(r"'(\S+/InRelease)'", uris)), [
                "http://deb.debian.org/debian-security/dists/trixie-security/InRelease",
                "http://deb.debian.org/debian/dists/trixie-updates/InRelease",
                "http://deb.debian.org/debian/dists/trixie/InRelease"])
            # Printing what it would fetch fetched nothing.
            self.assertEqual(os.listdir(os.path.join(state, "apt", "lists")), ["partial"])
            # No package lists or installed packages of this machine: the
            # image's lists are still empty.
            self.assertNotIn("/var/lib/", policy)
            self.assertNotIn("http", policy)


if __name__ == "__main__":
    unittest.main()
