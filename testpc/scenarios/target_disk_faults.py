"""Test PC: the target disk fails under a CD-ROM installation (the PC boots
the boot system with /TYPE "cdrom", the CD holds two small packages, alpha
and beta; every package chosen with 'a'). The disk is a 40 MiB image
opened through the emulator's blkdebug driver, which fails requests with
EIO at a sector from the start, or every write from a moment the scenario
chooses by console text (testpc.faults):

  sector 0 written (the partition table)   "ERROR: could not create partitions"
  every write from "Formatting disk..."     "ERROR: could not format partitions"
  sector 0 written after "Formatting        "could not write MBR: Input/output error"
    disk..." (the boot record)
  every write once formatting has ended     "ERROR: could not mount filesystem" (the
    and the boot record's write is done       mount writes the superblock)
  ... and the mount's too                   "ERROR: could not create lilo.conf"
                                            (either may also come out as a later
                                            one of the two or "... create fstab",
                                            when the PC is a write further on when
                                            the fault begins)
  every write after alpha's unpacker line   beta's unpacker says so, an empty line
  every write after beta's unpacker line    "ERROR: could not write the new system
                                            to the disk" (the completion)
  a disk too small for beta (8 MiB)         beta's unpacker runs out of space, an
                                            empty line

Each ends with "Press ENTER to reboot" and the restart, never "Software
installed."; the first leaves sector 0 blank, the third leaves no boot
program. The PCs run
two at a time. The faults of a kept configuration (reading it, writing it
back, the disk vanishing in between) are in target_disk_keep_faults.py.
"""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import disk_layouts as dc  # noqa: E402
from cdrom_install import build_package  # noqa: E402
from floppy_set_faults import CheckFailed, expect  # noqa: E402
from testpc import (ENTER, FaultyDrive, TestPC, arm, arm_at, fail, make_cd_image,  # noqa: E402
                    make_disk_image, run_scenario, run_side_by_side)

PROCESSORS = 2
DISK_MB = 40  # not over 40 MiB: ext2, quick to format
# What the steps between formatting and the packages say when the disk
# fails them.
SYSTEM_FILE_FAILURES = ("ERROR: could not mount filesystem\n", "ERROR: could not create lilo.conf\n",
                        "ERROR: could not create fstab\n")
COMPLETION = "\nERROR: could not write the new system to the disk\n"


def package_cd(tmp, beta_bytes=30000, name="cd"):
    """A CD of alpha and beta (beta holds beta_bytes of data that does not
    compress)."""
    folder = os.path.join(tmp, name)
    build_package(folder, "alpha", {"etc/alpha/alpha.conf": b"alpha settings\n" * 40})
    build_package(folder, "beta", {"var/beta/data.bin": os.urandom(beta_bytes)})
    return make_cd_image(os.path.join(tmp, name + ".iso"), os.path.join(folder, "packages"))


def start_installation(name, iso, disk, keep=False, menu_text="alpha (depends on nothing):"):
    """Boots the PC, chooses every package once menu_text shows, answers
    the questions; returns the running PC (the caller closes it)."""
    pc = TestPC(name, type_text="cdrom\n", disks=[disk], cdrom=iso, memory_mb=128)
    pc.start()
    pc.expect(menu_text, 120)
    pc.quiet(0.5)
    pc.send("a")
    pc.quiet(0.5)
    pc.send("i")
    pc.expect("Do you want to keep old configuration?  [y/n]:", 30)
    pc.send("y" if keep else "n")
    pc.expect("Continue? [y/n]:", 30)
    pc.send("y")
    return pc


def ends_failed(pc, line, timeout=300):
    """The failure's line, then the failed mode's end: ENTER, restart.
    Returns the console text."""
    i, _ = pc.expect_any([line, "Press ENTER to reboot"], timeout)
    if i == 1:
        raise CheckFailed("%s: the mode failed without %r" % (pc.name, line))
    pc.expect("Press ENTER to reboot", 60)
    text = pc.console_text()
    expect("Software installed." not in text, "%s: reported as installed" % pc.name)
    pc.send(ENTER)
    pc.expect("\nRebooting...", 30)
    pc.wait_restart(60)
    return text


def partition_table(tmp, iso):
    image = make_disk_image(os.path.join(tmp, "table.img"), DISK_MB)
    with start_installation("disk_table", iso, FaultyDrive(image, fail("write", sector=0))) as pc:
        text = ends_failed(pc, "\nERROR: could not create partitions\n")
    expect("Formatting disk" not in text, "went on to format")
    with open(image, "rb") as f:
        expect(f.read(512) == bytes(512), "sector 0 changed")
    print("ok: partition table")


def formatting(tmp, iso):
    image = make_disk_image(os.path.join(tmp, "format.img"), DISK_MB)
    with start_installation("disk_format", iso, FaultyDrive(image, fail("write", armed=True))) as pc:
        arm_at(pc, "Formatting disk...")
        ends_failed(pc, "\nERROR: could not format partitions\n")
    print("ok: formatting")


def boot_record(tmp, iso):
    """Sector 0 fails from "Formatting disk...": its next write is the boot
    record's (the table went in before, mke2fs writes the partition)."""
    image = make_disk_image(os.path.join(tmp, "boot-record.img"), DISK_MB)
    drive = FaultyDrive(image, fail("write", sector=0, armed=True))
    with start_installation("disk_boot_record", iso, drive) as pc:
        arm_at(pc, "Formatting disk...")
        text = ends_failed(pc, "\ncould not write MBR: Input/output error\n")
    expect("alpha:" not in text, "a package was unpacked")
    expect(dc.read_sector0(image)[:184] == bytes(184), "a boot program on the disk")
    print("ok: boot record")


def after_boot_record(tmp, iso, passed):
    """Every write fails once formatting has ended and passed more writes
    (the boot record's, then the mount's superblock) have gone through: the
    mount, lilo.conf or fstab is the first to fail, depending also on how
    far the PC has gone when the fault begins."""
    image = make_disk_image(os.path.join(tmp, "system-files-%d.img" % passed), DISK_MB)
    drive = FaultyDrive(image, fail("write", armed=True, after=passed))
    with start_installation("disk_system_files_%d" % passed, iso, drive) as pc:
        pc.expect("Formatting disk...", 120)
        pc.expect("\n", 120)  # the dots end: mke2fs has written everything out
        arm(pc)
        i, _ = pc.expect_any(list(SYSTEM_FILE_FAILURES), 120)
        text = ends_failed(pc, "")
    expect("alpha:" not in text, "a package was unpacked")
    print("ok: %r, %d writes after formatting" % (SYSTEM_FILE_FAILURES[i].strip(), passed))


def unpacking(tmp, iso, after_package, line):
    name = "after_" + after_package
    image = make_disk_image(os.path.join(tmp, name + ".img"), DISK_MB)
    with start_installation("disk_" + name, iso,
                            FaultyDrive(image, fail("write", armed=True))) as pc:
        arm_at(pc, "%s: " % after_package, 300)
        pc.expect("entries installed", 30)
        text = ends_failed(pc, line)
    print("ok: every write fails after %s's unpacker line" % after_package)
    return text


def too_small(tmp):
    iso = package_cd(tmp, beta_bytes=12 << 20, name="big")
    image = make_disk_image(os.path.join(tmp, "small.img"), 8)
    with start_installation("disk_too_small", iso, image) as pc:
        text = ends_failed(pc, "beta: ", 300)
    expect("No space left on device" in text, "no word of the space: %r" % text[-600:])
    print("ok: disk too small")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        iso = package_cd(tmp)
        run_side_by_side(lambda: partition_table(tmp, iso), lambda: formatting(tmp, iso))
        run_side_by_side(lambda: boot_record(tmp, iso), lambda: after_boot_record(tmp, iso, 1))
        run_side_by_side(lambda: too_small(tmp), lambda: unpacking(tmp, iso, "beta", COMPLETION))
        run_side_by_side(lambda: after_boot_record(tmp, iso, 2),
                         lambda: unpacking(tmp, iso, "alpha", "brindlex-unpack: beta: cannot write "
                                           "the package out to the disk: Input/output error\n"))


if __name__ == "__main__":
    run_scenario(main)
