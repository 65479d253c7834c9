"""Test PC: in every installation mode the package unpacker ends before it
has read a package shorter than one 4096-byte block (the boot system's
/sbin/installer replaced by a program that says "unpacker: gone" and exits
with status 1 without reading). Such a package is still in the installer's
pipe buffer when its copy ends: the installer learns that it did not go in
when it writes it out at the close (the unpacker has gone: the write fails)
or, when the write came first, from the unpacker's exit status. Whichever
comes first, no mode says "Software installed.":

  floppy set     the unpacker is seen gone before ENTER gives the floppy,
                 so every write comes after: "\\nFATAL ERROR: Installation
                 error"
  CD-ROM         an empty line; on a two-partition disk (8.4 GB), whose new
                 boot partition is mounted below /mnt when the package
                 fails: both file systems are unmounted before the restart
                 and pass e2fsck -n, marked clean
  disk image     an empty line (the unattended volume)
  network        an empty line (a router served by this machine's peer)

each followed by "Press ENTER to reboot" and the restart. The four PCs run
two at a time.
"""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import disk_layouts as dc  # noqa: E402
from cdrom_install import build_package, host_program  # noqa: E402
from floppy_set_faults import expect, make_set  # noqa: E402
from testpc import (ENTER, Segment, TestPC, make_cd_image, make_disk_image,  # noqa: E402
                    make_fat_disk_image, make_fat_floppy, run_scenario, run_side_by_side)

PROCESSORS = 2
SHORT_PACKAGE = 2500
GONE = "unpacker: gone"
ROUTER_MAC = "52:54:00:00:0E:01"
TWO_PARTITION_CYLINDERS = 1024


def short_package(tmp):
    path, _ = build_package(tmp, "short", {"var/short/data.bin": b"short" * 100},
                            size=SHORT_PACKAGE)
    return path


def fails_then_restarts(pc, line):
    """The mode's failure line, then the ENTER prompt; nothing says the
    software is installed."""
    pc.expect(line + "Press ENTER to reboot", 300)
    text = pc.console_text()
    expect(GONE in text, "%s: the unpacker did not run" % pc.name)
    expect("Software installed." not in text, "%s: reported as installed" % pc.name)
    pc.send(ENTER)
    pc.expect("\nRebooting...", 30)
    pc.wait_restart(60)


def floppy_set(tmp, package):
    floppy = make_set(host_program("brindlex-floppyset"), os.path.join(tmp, "set"), package,
                      4242)(0)
    disk = make_disk_image(os.path.join(tmp, "floppy-hda.img"), 50)
    with TestPC("unpacker_floppy", disks=[disk], floppy=floppy, broken_unpacker=True) as pc:
        pc.start()
        pc.expect("Do you want to keep old configuration?  [y/n]:", 120)
        pc.send("n")
        pc.expect("Continue? [y/n]:", 30)
        pc.send("y")
        # The unpacker starts before the floppy is asked for: it is gone
        # before a byte of the floppy is written.
        before = pc.expect("Please insert 2nd installation floppy.\nPress ENTER when ready", 180)
        if GONE not in before:
            pc.expect(GONE, 30)
        pc.send(ENTER)
        pc.expect("Installing part 1 of 1...\n", 60)
        fails_then_restarts(pc, "\nFATAL ERROR: Installation error\n")
    print("ok: floppy set")


def cdrom(tmp, package):
    folder = os.path.join(tmp, "cd")
    os.makedirs(folder)
    os.link(package, os.path.join(folder, "short.vpk"))
    iso = make_cd_image(os.path.join(tmp, "short.iso"), folder)
    disk = os.path.join(tmp, "cd-hda.img")
    dc.make_sparse_image(disk, TWO_PARTITION_CYLINDERS * dc.CYLINDER_BYTES + (1 << 20))
    with TestPC("unpacker_cdrom", type_text="cdrom\n", disks=[disk], cdrom=iso,
                broken_unpacker=True, memory_mb=128) as pc:
        pc.start()
        pc.expect("short (depends on nothing):", 120)
        pc.quiet(0.5)
        pc.send("a")
        pc.quiet(0.5)
        pc.send("i")
        pc.expect("Do you want to keep old configuration?  [y/n]:", 30)
        pc.send("n")
        pc.expect("Continue? [y/n]:", 30)
        pc.send("y")
        pc.expect("Formatting disk...", 120)
        fails_then_restarts(pc, "\n\n")
    # The boot partition was taken off /mnt first, then the root: both
    # file systems were written out and left clean.
    root, boot = dc.check_layout(disk, TWO_PARTITION_CYLINDERS, True)
    for start in (root, boot):
        dc.e2fsck_clean(disk, start)
        dc.expect(dc.unmounted_cleanly(disk, start), "the file system at sector %d was not "
                  "unmounted" % start)
    print("ok: CD-ROM, both file systems of the two-partition disk unmounted")


def disk_image(tmp, package):
    with open(package, "rb") as f:
        files = {"short.vpk": f.read(), "autorun.scr": "/system identity set name=short\n",
                 "mbr": bytes(512)}
    disk = make_fat_disk_image(os.path.join(tmp, "image.img"), 50, files)
    with TestPC("unpacker_image", init_args=["-hdd-install"], disks=[disk],
                broken_unpacker=True) as pc:
        pc.start()
        pc.expect("Formatting disk...", 180)
        fails_then_restarts(pc, "\n\n")
    print("ok: disk image")


def network(tmp, package):
    disk = make_disk_image(os.path.join(tmp, "net-hda.img"), 50)
    floppy = make_fat_floppy(os.path.join(tmp, "label.img"), {"label.txt": "short\n"})
    with Segment("unpacker", ports=1, host_peer=True) as segment:
        segment.start_peer(["--server", "--listen-seconds", "300", "--script",
                            "/system identity set name=short\n", package])
        with TestPC("unpacker_net", type_text="net\n", disks=[disk], floppy=floppy,
                    broken_unpacker=True, nics=[("e1000", ROUTER_MAC.lower(), segment)]) as pc:
            pc.start()
            pc.expect("Found server at ", 240)
            fails_then_restarts(pc, "\n\n")
    print("ok: network")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        package = short_package(tmp)
        # Each step in a folder of its own.
        folders = [os.path.join(tmp, name) for name in ("f", "c", "i", "n")]
        for folder in folders:
            os.makedirs(folder)
        run_side_by_side(lambda: floppy_set(folders[0], package),
                         lambda: cdrom(folders[1], package))
        run_side_by_side(lambda: disk_image(folders[2], package),
                         lambda: network(folders[3], package))


run_scenario(main)
