"""Test PC: complete floppy-set installations of the sample packages.

Boot 1, a blank 400 MB IDE disk, no /TYPE: the banner, the disk found, n to
keeping the configuration, y to erasing, partitioning and formatting, then
the 2nd, 3rd, 4th... installation floppies (every floppy of the sample set,
changed when asked) into one unpacker run, the post-install
script, the check (clean, on the log terminal), "Software installed.", "Remove boot floppy", "Press
ENTER to reboot" and the restart. The disk is then read from the host: the
packages' files in the new root, lilo.conf, fstab, the post-install
script's trace with every sample package, the unpacker's record of each
package in /var/pdb (name, description, dependencies and every path
of the package, as brindlex-pkg lists them) and a clean file system.

Boot 2, the same disk with a file added below /vyre/store, y to keeping the
configuration and a set of one floppy (the routing package alone): only the
2nd floppy is asked for, the old /vyre/store comes back, and the new
system records the routing package alone.

Boot 3, a blank disk, n to "Continue?": no floppy is asked for and the disk
stays untouched.

Run by ctest with BRINDLEX_BOOTSYS_DIR and BRINDLEX_HOST_DIR (the host build,
which holds bin/brindlex-floppyset and samples/) set.
"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from floppy_set_faults import boot, debugfs, expect, read_file, root_location  # noqa: E402
from testpc import is_blank  # noqa: E402

DISK_BYTES = 400 * 1000 * 1000


def answer_questions(pc, keep):
    pc.expect("Welcome to Brindlex Router Software floppy installation", timeout=60)
    pc.expect("Found harddrive as IDE Primary master (disk C)", timeout=60)
    pc.expect("Do you want to keep old configuration?  [y/n]:", timeout=60)
    pc.send("y" if keep else "n")
    pc.expect("Warning: all data on the disk will be erased!", timeout=60)
    pc.expect("Continue? [y/n]:", timeout=60)
    pc.send("y")
    pc.expect("Creating partition...", timeout=120)
    pc.expect("Formatting disk...", timeout=120)


def ordinal(n):
    """The installer's ordinal of a floppy: 1st, 2nd, 3rd, then Nth."""
    return {1: "1st", 2: "2nd", 3: "3rd"}.get(n, "%dth" % n)


def feed_floppies(pc, images):
    for index, image in enumerate(images):
        pc.expect("Please insert %s installation floppy.\n" % ordinal(index + 2), timeout=300)
        pc.expect("Press ENTER when ready", timeout=60)
        pc.change_floppy(image)
        pc.send("\r")
        pc.expect("Installing part %d of %d...\n" % (index + 1, len(images)), timeout=120)


def finish(pc, checked=True):
    """From the end of the floppies to the restart; checked: the
    single-partition layout, whose new file system the installer checks."""
    if checked:
        pc.expect("Checking disk integrity...", timeout=300)
    pc.expect("Software installed.\n", timeout=300)
    pc.expect("Remove boot floppy\n", timeout=60)
    pc.expect("Press ENTER to reboot", timeout=60)
    pc.send("\r")
    pc.expect("Rebooting...", timeout=60)
    pc.wait_restart(120)


def expected_record(builder, package):
    """The record the unpacker keeps of a package that went in whole: its
    name, description, dependencies and entries as brindlex-pkg lists them."""
    listing = subprocess.run([builder, "list", package], check=True, capture_output=True,
                             text=True).stdout
    lines = []
    for line in listing.splitlines():
        # OFFSET type T length L WHAT...
        what = line.split(None, 5)[5]
        kind, _, text = what.partition(" ")
        if kind in ("name", "description"):
            lines.append(kind + " " + text)
        elif kind == "depends":
            lines += ["depends " + name for name in text.split()]
        elif kind in ("dir", "file", "link"):
            path = text.split(None, 3)[3]
            lines.append("path " + (path.split(" -> ")[0] if kind == "link" else path))
    return "\n".join(lines + ["state complete", ""])


def check_records(location, builder, packages, names, traced=True):
    """The records in /var/pdb and, when the system package with its
    post-install script is among them, the trace's package lines."""
    listing = debugfs(location, "ls -p /var/pdb").decode()
    recorded = sorted(field.split("/")[5] for field in listing.split("\n")
                      if field.count("/") >= 6 and not field.split("/")[5].startswith("."))
    expect(recorded == sorted(names), "records in /var/pdb: %r" % recorded)
    trace = (read_file(location, "/var/log/postinstall.trace") or b"").decode()
    for name in names:
        record = (read_file(location, "/var/pdb/" + name) or b"").decode()
        want = expected_record(builder, os.path.join(packages, name + ".vpk"))
        expect(record == want, "record of %s:\n%s\nnot\n%s" % (name, record, want))
        paths = record.count("\npath ")
        expect(not traced or "\n  %s: %d paths, complete\n" % (name, paths) in trace,
               "post-install trace: %r" % trace)


def sample_package_names(samples):
    """The names in samples/packages.list, the packages of the sample set."""
    with open(os.path.join(samples, "packages.list")) as f:
        return [line.split("|")[0] for line in f if line.strip() and not line.startswith("#")]


def check_installed(image, samples, kept):
    location = root_location(image)
    fsck = subprocess.run(["e2fsck", "-f", "-n", location], capture_output=True)
    expect(fsck.returncode == 0, "file system not clean: %s" % fsck.stdout.decode())
    for source, path in (("routing/etc/routing/routes.conf", "/etc/routing/routes.conf"),
                         ("system/etc/rc.d/rc.postinstall", "/etc/rc.d/rc.postinstall"),
                         ("system/sbin/fsck", "/sbin/fsck")):
        with open(os.path.join(samples, source), "rb") as f:
            expect(read_file(location, path) == f.read(), path + " differs or is missing")
    expect(read_file(location, "/etc/lilo.conf"), "no lilo.conf")
    fstab = read_file(location, "/etc/fstab") or b""
    expect(b"/dev/hda1" in fstab, "fstab: %r" % fstab)
    trace = (read_file(location, "/var/log/postinstall.trace") or b"").decode()
    expect(trace.startswith("rc.postinstall ran\n"), "post-install trace: %r" % trace)
    expect(("kept configuration: %s" % ("yes" if kept else "no")) in trace,
           "post-install trace: %r" % trace)
    return location


def main():
    bootsys = os.environ["BRINDLEX_BOOTSYS_DIR"]
    host = os.environ["BRINDLEX_HOST_DIR"]
    floppyset = os.path.join(host, "bin", "brindlex-floppyset")
    builder = os.path.join(host, "bin", "brindlex-pkg")
    built = os.path.join(host, "samples")
    samples = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    samples = os.path.join(samples, "samples")
    images = sorted(os.path.join(built, "floppies", n)
                    for n in os.listdir(os.path.join(built, "floppies")) if n.endswith(".img"))
    # The kernel package fills most of them.
    expect(len(images) >= 10, "the sample set has only %d floppies" % len(images))

    with tempfile.TemporaryDirectory() as tmp:
        # Copies of the floppies: the emulator locks the images it uses, and
        # other scenarios may be using the built ones at the same time.
        images = [shutil.copy(image, tmp) for image in images]
        disk = os.path.join(tmp, "hda.img")
        with open(disk, "wb") as f:
            f.truncate(DISK_BYTES)
        pc = boot("floppy_set_install", bootsys, disk, images[0])
        try:
            answer_questions(pc, keep=False)
            feed_floppies(pc, images)
            finish(pc)
            console = pc.console_text()
            expect("ERROR" not in console, "an error line on the console")
            expect("Please insert %s" % ordinal(len(images) + 2) not in console,
                   "a data floppy past the set was asked for")
            log = pc.log
            expect("fsck: /dev/hda1: status 0" in log,
                   "the check of the new system did not pass: %r" % log[-2000:])
            location = check_installed(disk, samples, kept=False)
            check_records(location, builder, os.path.join(built, "packages"),
                          sample_package_names(samples))
        except Exception:
            pc.report()
            raise
        finally:
            pc.close()

        # Boot 2: keep the configuration over the first installation.
        marker = os.path.join(tmp, "marker")
        with open(marker, "w") as f:
            f.write("kept across the reinstallation\n")
        debugfs(location, "mkdir /vyre/store", write=True)
        debugfs(location, "write %s /vyre/store/marker" % marker, write=True)
        expect(read_file(location, "/vyre/store/marker"), "marker not written")
        one = os.path.join(tmp, "one")
        os.makedirs(one)
        subprocess.run([floppyset, os.path.join(built, "packages", "routing.vpk"), one],
                       check=True, capture_output=True)
        pc = boot("floppy_set_install", bootsys, disk, os.path.join(one, "brindlex.n00.img"))
        try:
            answer_questions(pc, keep=True)
            feed_floppies(pc, [os.path.join(one, "brindlex.n00.img")])
            finish(pc)
            expect("Please insert 3rd" not in pc.console_text(), "a second floppy was asked for")
            location = root_location(disk)
            expect(read_file(location, "/vyre/store/marker") ==
                   b"kept across the reinstallation\n", "the kept configuration is gone")
            expect(read_file(location, "/etc/routing/routes.conf"), "routing not installed")
            # No system package, so no post-install script and no trace.
            check_records(location, builder, os.path.join(built, "packages"), ["routing"],
                          traced=False)
            fsck = subprocess.run(["e2fsck", "-f", "-n", location], capture_output=True)
            expect(fsck.returncode == 0, "file system not clean after boot 2")
        except Exception:
            pc.report()
            raise
        finally:
            pc.close()

        # Boot 3: n to "Continue?".
        blank = os.path.join(tmp, "blank.img")
        with open(blank, "wb") as f:
            f.truncate(DISK_BYTES)
        pc = boot("floppy_set_install", bootsys, blank, images[0])
        try:
            pc.expect("Do you want to keep old configuration?  [y/n]:", timeout=120)
            pc.send("n")
            pc.expect("Continue? [y/n]:", timeout=60)
            pc.send("n")
            pc.expect("Press ENTER to reboot", timeout=60)
            pc.send("\r")
            pc.expect("Rebooting...", timeout=60)
            pc.wait_restart(120)
            expect("Please insert" not in pc.console_text(), "a floppy was asked for")
            expect("Creating partition" not in pc.console_text(), "the disk was partitioned")
            expect(is_blank(blank), "the disk was written")
        except Exception:
            pc.report()
            raise
        finally:
            pc.close()
        shutil.rmtree(one)
    print("floppy_set_install: ok")


if __name__ == "__main__":
    main()
