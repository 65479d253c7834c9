"""Test PC: the floppy-set installation meets every kind of bad floppy.

One boot with no /TYPE and a blank 400 MB IDE disk. The operator answers n
to keeping the configuration and y to erasing, then, when the 2nd
installation floppy is asked for, offers in turn:

  the set's 3rd floppy           "Wrong floppy!"
  no floppy at all               "ERROR: No floppy, or bad floppy"
  the right floppy with two bad  bad floppy (the first floppy read: taken
    blocks in one group            whatever its set, refused for the damage)
  a floppy of another set        bad floppy (its header becomes the reference)
  the right floppy with one      refused once for the other set's reference,
    bad block in three groups      then repaired: "Recovering bad block #N"
                                   on the log terminal (the second serial port)

The payload of the set is one package holding a file of random bytes: after
the installation has gone on with the 3rd and 4th floppies to "Software
installed." and the restart, the file on the disk must be whole and the
unpacker must have found nothing wrong. So the floppies refused as bad never
reached the unpacker, and the repaired part reached it once, intact.

Run by ctest with BRINDLEX_BOOTSYS_DIR (the boot system) and
BRINDLEX_HOST_DIR (the host build with bin/brindlex-floppyset and
bin/brindlex-pkg) set.
"""

import os
import random
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import testpc  # noqa: E402


class CheckFailed(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise CheckFailed(what)


def boot(name, bootsys, disk, floppy):
    """Starts the test PC with one IDE disk and floppy in drive A. Its log
    terminal (/dev/tty9) is the second serial port."""
    pc = testpc.TestPC(name, disks=[disk], floppy=floppy, bootsys=bootsys, memory_mb=256)
    pc.start()
    return pc


def root_location(image):
    """debugfs/e2fsck name of the first partition's file system."""
    with open(image, "rb") as f:
        mbr = f.read(512)
    expect(mbr[510:512] == b"\x55\xaa", "no partition table")
    start = struct.unpack("<I", mbr[446 + 8:446 + 12])[0]
    expect(mbr[446 + 4] == 0x83, "first partition is not a Linux one")
    return "%s?offset=%d" % (image, start * 512)


def debugfs(location, request, write=False):
    args = ["debugfs"] + (["-w"] if write else []) + ["-R", request, location]
    return subprocess.run(args, capture_output=True).stdout


def read_file(location, path):
    if b"Inode:" not in debugfs(location, "stat " + path):
        return None
    return debugfs(location, "cat " + path)


def make_set(floppyset, out, payload, set_id, damage=()):
    os.makedirs(out)
    args = [floppyset, "--set-id", str(set_id)]
    for d in damage:
        args += ["--damage", d]
    subprocess.run(args + [payload, out], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return lambda part: os.path.join(out, "brindlex.n%02d.img" % part)


def main():
    bootsys = os.environ["BRINDLEX_BOOTSYS_DIR"]
    floppyset = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "bin", "brindlex-floppyset")
    builder = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "bin", "brindlex-pkg")
    for needed in (os.path.join(bootsys, "initrd.gz"), floppyset, builder):
        expect(os.path.exists(needed), needed + " is missing")
    with tempfile.TemporaryDirectory() as tmp:
        # One package whose payload spans three floppies.
        content = random.Random(5).randbytes(2 * 1391280 + 800)
        tree = os.path.join(tmp, "tree")
        os.makedirs(os.path.join(tree, "var", "data"))
        with open(os.path.join(tree, "var", "data", "random.bin"), "wb") as f:
            f.write(content)
        payload = os.path.join(tmp, "payload")
        subprocess.run([builder, "build", "--name", "randomdata", "--output", payload, tree],
                       check=True, stdout=subprocess.DEVNULL)
        good = make_set(floppyset, os.path.join(tmp, "good"), payload, 1001,
                        ["0:0:3", "0:7:0", "0:20:30"])
        broken = make_set(floppyset, os.path.join(tmp, "broken"), payload, 1001,
                          ["0:5:1", "0:5:2"])
        other = make_set(floppyset, os.path.join(tmp, "other"), payload, 2002)
        disk = os.path.join(tmp, "hda.img")
        with open(disk, "wb") as f:
            f.truncate(400 * 1000 * 1000)

        pc = boot("floppy_set_faults", bootsys, disk, good(1))
        try:
            pc.expect("Welcome to Brindlex Router Software floppy installation", timeout=60)
            pc.expect("Found harddrive as IDE Primary master (disk C)", timeout=60)
            pc.expect("Do you want to keep old configuration?  [y/n]:", timeout=60)
            pc.send("n")
            pc.expect("Warning: all data on the disk will be erased!", timeout=60)
            pc.expect("Continue? [y/n]:", timeout=60)
            pc.send("y")
            pc.expect("Formatting disk...", timeout=120)

            pc.expect("Please insert 2nd installation floppy.\n", timeout=300)
            pc.expect("Press ENTER when ready", timeout=60)
            pc.change_floppy(good(1))
            pc.send("\r")
            pc.expect("Wrong floppy!\n", timeout=60)
            pc.expect("Please insert 2nd installation floppy.", timeout=60)

            pc.change_floppy(None)
            pc.send("\r")
            pc.expect("ERROR: No floppy, or bad floppy\n", timeout=300)
            pc.expect("Please insert 2nd installation floppy.", timeout=60)

            for image in (broken(0), other(0), good(0)):
                pc.change_floppy(image)
                pc.send("\r")
                pc.expect("ERROR: bad floppy, please replace it.\n", timeout=120)
                pc.expect("Please insert 2nd installation floppy.", timeout=60)

            pc.change_floppy(good(0))
            pc.send("\r")
            pc.expect("Installing part 1 of 3...\n", timeout=120)
            for ordinal, part in (("3rd", 1), ("4th", 2)):
                pc.expect("Please insert %s installation floppy." % ordinal, timeout=120)
                pc.change_floppy(good(part))
                pc.send("\r")
                pc.expect("Installing part %d of 3...\n" % (part + 1), timeout=120)
            pc.expect("Software installed.\n", timeout=300)
            pc.expect("Remove boot floppy\n", timeout=60)
            pc.expect("Press ENTER to reboot", timeout=60)
            pc.send("\r")
            pc.expect("Rebooting...", timeout=60)
            pc.wait_restart(120)

            console = pc.console_text()
            expect(console.count("Installing part 1 of 3...") == 2,
                      "the damaged and the repaired floppy show their part line")
            expect(console.count("ERROR: bad floppy, please replace it.") == 3,
                      "three bad floppies")
            expect(console.count("Please insert 2nd installation floppy.") == 6,
                   "the 2nd floppy asked for once and again after each bad one")
            expect("brindlex-unpack" not in console, "the unpacker found something wrong")
            expect(read_file(root_location(disk), "/var/data/random.bin") == content,
                   "the installed file differs from the package's")
            log = pc.log
            repairs = [l for l in log.splitlines() if l.startswith("Recovering bad block #")]
            expect(repairs == ["Recovering bad block #3", "Recovering bad block #0",
                                  "Recovering bad block #30"],
                      "repair lines on the log terminal: %r" % repairs)
        except Exception:
            pc.report()
            raise
        finally:
            pc.close()
    print("floppy_set_faults: ok")


if __name__ == "__main__":
    main()
