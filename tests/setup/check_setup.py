#!/usr/bin/env python3
"""Replays a stumbling package registry against the set-up scripts.

Stub apt-get, dpkg, dpkg-query, id, mount and sudo come first on PATH; the scripts look at a
made-up system root (PRISMLUX_SETUP_ROOT) for what is installed, for os-release, the apt
sources and binfmt_misc. The stub apt-get fails `update` the first N times (the registry's
own "Mirror sync in progress?" error) and, as asked, fails `install` always, never, or unless
pinned with -t; what it installs appears in the made-up root. The 32-bit Wine loader it
installs starts only once a qemu-i386 binfmt rule is registered, as on a kernel without ia32
emulation, so install-deps.sh goes on into enable-x86-wine.sh's qemu step.

Each case prints what the set-up said (see the test's output) and checks its exit status, its
lines and the apt-get calls made.
"""
import argparse
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

ARGS = None

UPDATE_ERROR = ("E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/"
                "binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?")
INSTALL_ERROR = "E: Unable to correct problems, you have held broken packages."

APT_GET = r"""#!/bin/bash
state=$STUB_STATE
echo "$*" >> "$state/calls"
case " $* " in
  *" update "*)
    n=$(( $(cat "$state/updates" 2>/dev/null || echo 0) + 1 )); echo $n > "$state/updates"
    [ "$n" != 1 ] || [ -z "${STUB_UPDATE_HANG_FIRST:-}" ] || exec sleep 60
    if [ "$n" -le "${STUB_UPDATE_FAILS:-0}" ]; then
      echo "W: an index is out of step" >&2
      echo '@UPDATE_ERROR@' >&2
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
      exit 100
    fi
    exit 0 ;;
  *" install "*)
    pinned=0; packages=(); skip=0
    for word in "$@"; do
      if [ $skip = 1 ]; then skip=0; continue; fi
      case $word in -t) pinned=1; skip=1 ;; -o) skip=1 ;; -*|install) ;; *) packages+=("$word") ;; esac
    done
    if [ "$STUB_INSTALL" = never ] || { [ "$STUB_INSTALL" = pinned ] && [ $pinned = 0 ]; }; then
      echo "Some packages could not be installed."
      echo '@INSTALL_ERROR@' >&2
      exit 100
    fi
    for p in "${packages[@]}"; do "$STUB_BIN/install-package" "$p"; done
    exit 0 ;;
esac
exit 1
"""

# Makes a package's files appear in the made-up root, as installing it would.
INSTALL_PACKAGE = r"""#!/bin/bash
root=$PRISMLUX_SETUP_ROOT
touch "$STUB_STATE/installed-$1"
program() { mkdir -p "$(dirname "$root/$1")"; printf '#!/bin/sh\n%s\n' "$2" > "$root/$1"; chmod +x "$root/$1"; }
case $1 in
  wine64) program usr/lib/wine/wine64 'echo wine-8.0' ;;
  wine32:i386) program usr/lib/wine/wine \
    "grep -qs qemu-i386 '$root/proc/sys/fs/binfmt_misc/register' || exit 126; echo wine-8.0" ;;
  googletest) mkdir -p "$root/usr/src/googletest"; touch "$root/usr/src/googletest/CMakeLists.txt" ;;
  qemu-user-static) program usr/bin/qemu-i386-static 'echo "qemu-i386 version 8.2.2 (Debian 1:8.2.2+ds-0ubuntu1~bpo12+1)"' ;;
esac
"""

DPKG = r"""#!/bin/bash
echo "dpkg $*" >> "$STUB_STATE/calls"
case $1 in
  --print-foreign-architectures) cat "$STUB_STATE/foreign" 2>/dev/null; exit 0 ;;
  --add-architecture) echo "$2" >> "$STUB_STATE/foreign"; exit 0 ;;
esac
exit 1
"""

DPKG_QUERY = r"""#!/bin/bash
[ -f "$STUB_STATE/installed-${!#}" ] && printf 'install ok installed'
"""

STUBS = {
    "apt-get": APT_GET.replace("@UPDATE_ERROR@", UPDATE_ERROR).replace("@INSTALL_ERROR@", INSTALL_ERROR),
    "install-package": INSTALL_PACKAGE,
    "dpkg": DPKG,
    "dpkg-query": DPKG_QUERY,
    "id": '#!/bin/sh\n[ "$1" = -u ] && { echo 0; exit 0; }\nexec /usr/bin/id "$@"\n',
    "mount": '#!/bin/sh\necho "mount $*" >> "$STUB_STATE/calls"\nexit 32\n',
    "sudo": '#!/bin/sh\necho "sudo $*" >> "$STUB_STATE/calls"\nexit 1\n',
}


class Registry(unittest.TestCase):
    """A made-up Debian 12 with nothing of Wine, a registry stub and the set-up run against them."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="prismlux-setup-")
        self.addCleanup(shutil.rmtree, self.work)
        self.bin, self.root, self.state = (os.path.join(self.work, d) for d in ("bin", "root", "state"))
        for folder in (self.bin, self.state, os.path.join(self.root, "etc", "apt"),
                       os.path.join(self.root, "proc", "sys", "fs", "binfmt_misc")):
            os.makedirs(folder)
        for name, text in STUBS.items():
            self.write(os.path.join(self.bin, name), text, executable=True)
        self.write(os.path.join(self.root, "etc", "os-release"), 'ID=debian\nVERSION_ID="12"\nVERSION_CODENAME=bookworm\n')
        self.write(os.path.join(self.root, "etc", "apt", "sources.list"), "deb http://deb.debian.org/debian bookworm main\n")
        self.write(os.path.join(self.root, "proc", "sys", "fs", "binfmt_misc", "register"), "")

    @staticmethod
    def write(path, text, executable=False):
        with open(path, "w") as f:
            f.write(text)
        if executable:
            os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)

    def installed(self, *packages):
        for package in packages:
            subprocess.run([os.path.join(self.bin, "install-package"), package], env=self.environment({}), check=True)

    def environment(self, stub):
        env = dict(os.environ, PATH=self.bin + os.pathsep + os.environ["PATH"], STUB_BIN=self.bin,
                   STUB_STATE=self.state, PRISMLUX_SETUP_ROOT=self.root, PRISMLUX_APT_PAUSE="0",
                   PRISMLUX_APT_UPDATE_TIMEOUT="3", STUB_INSTALL="ok")
        env.update(stub)
        return env

    def run_script(self, script, *arguments, **stub):
        """Runs a set-up script; returns (exit status, everything it printed)."""
        done = subprocess.run(["bash", os.path.join(ARGS.scripts, script)] + list(arguments),
                              env=self.environment(stub), capture_output=True, text=True, timeout=90)
        said = done.stdout + done.stderr
        print("\n--- %s: %s exited %d, printing:\n%s" % (self.id().split(".")[-1], script, done.returncode, said),
              file=sys.stderr)
        return done.returncode, said

    def calls(self):
        path = os.path.join(self.state, "calls")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [line.strip() for line in f]

    def install_calls(self):
        return [c.split(" install ", 1)[1] for c in self.calls() if " install " in " " + c + " " and not c.startswith("dpkg")]

    def assertInstalled(self, *packages):
        for package in packages:
            self.assertTrue(os.path.exists(os.path.join(self.state, "installed-" + package)), package)

    def assertQemuRegistered(self, said):
        with open(os.path.join(self.root, "proc", "sys", "fs", "binfmt_misc", "register")) as f:
            self.assertIn(":qemu-i386:M::", f.read())
        self.assertIn("enable-x86-wine: 32-bit Wine loader starts: wine-8.0", said)


class InstallDeps(Registry):
    WINE = "wine64 wine32:i386 googletest"

    def test_update_that_fails_once_is_tried_again(self):
        status, said = self.run_script("install-deps.sh", STUB_UPDATE_FAILS="1")
        self.assertEqual(status, 0, said)
        self.assertIn("install-deps: apt-get update failed (%s); trying again in 0 s" % UPDATE_ERROR, said)
        self.assertNotIn("going on", said)
        self.assertNotIn("pinned", said)
        self.assertEqual(self.install_calls(), ["-y -qq " + self.WINE, "-y -qq -t bookworm-backports qemu-user-static"])
        self.assertInstalled("wine64", "wine32:i386", "googletest", "qemu-user-static")
        self.assertQemuRegistered(said)

    def test_update_that_always_fails_or_hangs_goes_on_with_what_it_fetched(self):
        status, said = self.run_script("install-deps.sh", STUB_UPDATE_FAILS="99", STUB_UPDATE_HANG_FIRST="1")
        self.assertEqual(status, 0, said)
        self.assertIn("install-deps: apt-get update failed (E: apt-get update did not finish within 3 s); trying again", said)
        self.assertIn("install-deps: apt-get update failed 3 times (%s); going on with the package lists it fetched"
                      % UPDATE_ERROR, said)
        self.assertEqual(self.install_calls(), ["-y -qq " + self.WINE, "-y -qq -t bookworm-backports qemu-user-static"])
        self.assertNotIn("pinned", said)
        self.assertQemuRegistered(said)

    def test_install_that_fails_unless_pinned_is_pinned_to_the_release(self):
        status, said = self.run_script("install-deps.sh", STUB_UPDATE_FAILS="99", STUB_INSTALL="pinned")
        self.assertEqual(status, 0, said)
        self.assertIn("install-deps: the package registry was out of step (apt-get update failed), so %s came "
                      "pinned to bookworm's own suite (apt-get install -t bookworm)" % self.WINE, said)
        self.assertEqual(self.install_calls(), ["-y -qq " + self.WINE, "-y -qq -t bookworm " + self.WINE,
                                                "-y -qq -t bookworm-backports qemu-user-static"])
        self.assertInstalled("wine64", "wine32:i386", "googletest", "qemu-user-static")
        self.assertQemuRegistered(said)

    def test_when_everything_fails_it_names_the_packages_and_the_registry_error(self):
        status, said = self.run_script("install-deps.sh", STUB_UPDATE_FAILS="99", STUB_INSTALL="never")
        self.assertNotEqual(status, 0, said)
        self.assertIn("install-deps: ERROR: could not install " + self.WINE, said)
        self.assertIn("  " + INSTALL_ERROR + "\n  pinned to bookworm: " + INSTALL_ERROR, said)
        self.assertIn("after a failed apt-get update:\n  " + UPDATE_ERROR, said)
        self.assertNotIn("qemu", said)

    def test_a_machine_with_everything_says_nothing_and_calls_no_apt(self):
        self.installed("wine64", "googletest", "qemu-user-static")
        self.write(os.path.join(self.root, "usr", "lib", "wine", "wine"), "#!/bin/sh\necho wine-8.0\n", executable=True)
        status, said = self.run_script("install-deps.sh", STUB_UPDATE_FAILS="99", STUB_INSTALL="never")
        self.assertEqual((status, said), (0, ""))
        self.assertEqual(self.calls(), [])


class EnableX86Wine(Registry):
    def test_update_that_fails_once_is_tried_again(self):
        status, said = self.run_script("enable-x86-wine.sh", "--no-check", STUB_UPDATE_FAILS="1")
        self.assertEqual(status, 0, said)
        self.assertIn("enable-x86-wine: apt-get update failed (%s); trying again in 0 s" % UPDATE_ERROR, said)
        self.assertNotIn("going on", said)
        self.assertEqual(self.install_calls(), ["-y -qq wine64 wine32:i386", "-y -qq -t bookworm-backports qemu-user-static"])
        self.assertQemuRegistered(said)

    def test_update_that_always_fails_goes_on_with_what_it_fetched(self):
        status, said = self.run_script("enable-x86-wine.sh", "--no-check", STUB_UPDATE_FAILS="99")
        self.assertEqual(status, 0, said)
        self.assertIn("enable-x86-wine: apt-get update failed 3 times (%s); going on with the package lists it fetched"
                      % UPDATE_ERROR, said)
        self.assertEqual(self.install_calls(), ["-y -qq wine64 wine32:i386", "-y -qq -t bookworm-backports qemu-user-static"])
        self.assertQemuRegistered(said)

    def test_install_that_fails_unless_pinned_is_pinned_to_the_release(self):
        status, said = self.run_script("enable-x86-wine.sh", "--no-check", STUB_UPDATE_FAILS="99", STUB_INSTALL="pinned")
        self.assertEqual(status, 0, said)
        self.assertIn("enable-x86-wine: the package registry was out of step (apt-get update failed), so wine64 "
                      "wine32:i386 came pinned to bookworm's own suite (apt-get install -t bookworm)", said)
        self.assertEqual(self.install_calls(), ["-y -qq wine64 wine32:i386", "-y -qq -t bookworm wine64 wine32:i386",
                                                "-y -qq -t bookworm-backports qemu-user-static"])
        self.assertQemuRegistered(said)

    def test_when_the_qemu_step_fails_too_it_names_qemu_and_the_registry_error(self):
        self.installed("wine64", "wine32:i386")
        status, said = self.run_script("enable-x86-wine.sh", "--no-check", STUB_UPDATE_FAILS="99", STUB_INSTALL="never")
        self.assertNotEqual(status, 0, said)
        self.assertIn("enable-x86-wine: ERROR: could not install qemu-user-static\n  " + INSTALL_ERROR, said)
        self.assertIn("after a failed apt-get update:\n  " + UPDATE_ERROR, said)
        self.assertNotIn("registering", said)


class BuildPrefix(unittest.TestCase):
    """The build's own Wine prefix is made again once 32-bit Wine runs, if it was made without."""

    def check(self, syswow64_files, loader_runs, stamped=True):
        work = tempfile.mkdtemp(prefix="prismlux-prefix-")
        self.addCleanup(shutil.rmtree, work)
        prefix = os.path.join(work, "wineprefix")
        syswow64 = os.path.join(prefix, "drive_c", "windows", "syswow64")
        os.makedirs(syswow64)
        for name in syswow64_files:
            open(os.path.join(syswow64, name), "w").close()
        if stamped:
            open(os.path.join(prefix, ".prismlux-ready"), "w").close()
        done = subprocess.run(["sh", os.path.join(ARGS.cmake, "wineprefix-check.sh"), prefix,
                               "/bin/true" if loader_runs else "/bin/false"], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        return os.path.exists(prefix), done.stdout

    def test_a_prefix_without_its_32_bit_dlls_goes_once_32_bit_wine_runs(self):
        kept, said = self.check([], loader_runs=True)
        self.assertFalse(kept)
        self.assertIn("was made while 32-bit Wine could not run; making it again", said)

    def test_a_whole_prefix_or_one_32_bit_wine_cannot_help_stays(self):
        self.assertEqual(self.check(["kernel32.dll"], loader_runs=True), (True, ""))
        self.assertEqual(self.check([], loader_runs=False), (True, ""))
        self.assertEqual(self.check([], loader_runs=True, stamped=False), (True, ""))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--scripts", required=True)
    parser.add_argument("--cmake", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
