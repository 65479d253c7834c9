"""Test PC: the target disk fails while an old system's configuration is
kept (the CD-ROM installation of target_disk_faults.py, y to keeping the
old configuration). The disk holds an old system made on the host: one
ext2 partition with /vyre/store/settings and /vyre/store/keys.

  a read error inside settings while the   "ERROR: couldn't keep config -
    snapshot is taken (the fault goes        probably not enough memory", the
    once partitioning begins)                installation completes without it:
                                             "Software installed.", a clean file
                                             system, no /vyre/store
  every write fails from "Writing back      "ERROR: couldn't write old
    old configuration..."                    configuration - proboably not
                                             enough space on the disk", then the
                                             first unpacker cannot write its
                                             package out: "Press ENTER to reboot"
  the disk vanishes once the snapshot is    "ERROR: could not create partitions"
    taken (its image taken away at           (or, when the table went in just
    "Creating partition...")                 before, "could not format"); the
                                             old system on the disk is untouched

The PCs run two at a time.
"""

import os
import struct
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import disk_layouts as dc  # noqa: E402
from floppy_set_faults import expect  # noqa: E402
from target_disk_faults import DISK_MB, ends_failed, package_cd, start_installation  # noqa: E402
from testpc import (ENTER, FaultyDrive, arm_at, detach_drive, fail, run_scenario,  # noqa: E402
                    run_side_by_side)

PROCESSORS = 2
OLD_START = 63  # the old partition's first sector
SETTINGS = b"old settings of the router\n" * 200
KEYS = b"old keys\n" * 10


def old_system(tmp, name):
    """A disk image with an old system's configuration; returns (image,
    the first sector of settings' data)."""
    image = os.path.join(tmp, name + ".img")
    size = DISK_MB << 20
    dc.make_sparse_image(image, size)
    count = size // 512 - OLD_START
    with open(image, "r+b") as f:
        f.seek(446)
        f.write(bytes([0x80, 1, 1, 0, 0x83, 254, 255, 255]) + struct.pack("<II", OLD_START, count))
        f.seek(510)
        f.write(b"\x55\xaa")
    part = os.path.join(tmp, name + ".fs")
    dc.make_sparse_image(part, count * 512)
    dc.run(["mke2fs", "-q", "-F", "-t", "ext2", "-b", "1024", part])
    for file_name, data in (("settings", SETTINGS), ("keys", KEYS)):
        with open(os.path.join(tmp, file_name), "wb") as f:
            f.write(data)
    dc.debugfs_script(part, 0, ["mkdir /vyre", "mkdir /vyre/store",
                                "write %s /vyre/store/settings" % os.path.join(tmp, "settings"),
                                "write %s /vyre/store/keys" % os.path.join(tmp, "keys")])
    block = int(dc.run(["debugfs", "-R", "bmap /vyre/store/settings 0", part]).stdout.split()[0])
    dc.run(["dd", "if=" + part, "of=" + image, "bs=512", "seek=%d" % OLD_START,
            "conv=notrunc,sparse", "status=none"])
    os.unlink(part)
    return image, OLD_START + block * 2


def old_files(image):
    return (dc.cat(image, OLD_START, "/vyre/store/settings"),
            dc.cat(image, OLD_START, "/vyre/store/keys"))


def snapshot_unreadable(tmp, iso):
    image, sector = old_system(tmp, "unreadable")
    drive = FaultyDrive(image, fail("read", sector=sector, until_armed=True))
    with start_installation("keep_unreadable", iso, drive, keep=True) as pc:
        pc.expect("Reading old configuration...", 120)
        arm_at(pc, "Creating partition...")
        pc.expect("\nSoftware installed.\n", 300)
        before = pc.console_text()
        pc.expect("Press ENTER to reboot", 30)
        pc.send(ENTER)
        pc.expect("\nRebooting...", 30)
        pc.wait_restart(60)
    expect("ERROR: couldn't keep config - probably not enough memory\n" in before,
           "no word of the lost configuration: %r" % before)
    expect("Writing back old configuration" not in before, "a restore without a snapshot")
    start = dc.partition_entries(dc.read_sector0(image))[0][2]
    dc.e2fsck_clean(image, start)
    expect(dc.cat(image, start, "/etc/alpha/alpha.conf") == b"alpha settings\n" * 40,
           "alpha is not installed")
    expect(dc.inode_stat(image, start, "/vyre/store") is None, "a configuration was kept")
    print("ok: snapshot unreadable")


def restore_fails(tmp, iso):
    image, _ = old_system(tmp, "restore")
    with start_installation("keep_restore", iso, FaultyDrive(image, fail("write", armed=True)),
                            keep=True) as pc:
        arm_at(pc, "Writing back old configuration...", 180)
        text = ends_failed(pc, "\nERROR: couldn't write old configuration - proboably not enough "
                               "space on the disk\n")
    expect("Reading old configuration..." in text, "no snapshot taken")
    print("ok: restore fails")


def disk_vanishes(tmp, iso):
    image, _ = old_system(tmp, "vanish")
    before = old_files(image)
    with start_installation("keep_vanish", iso, image, keep=True) as pc:
        pc.expect("Reading old configuration...", 120)
        pc.expect("Creating partition...", 120)
        detach_drive(pc)
        i, _ = pc.expect_any(["\nERROR: could not create partitions\n",
                              "\nERROR: could not format partitions\n"], 300)
        ends_failed(pc, "")
    expect(before == (SETTINGS, KEYS), "the old system was not made")
    if i == 0:
        expect(old_files(image) == before, "the old system changed")
    print("ok: disk vanishes (%s)" % ("at the table", "at formatting")[i])


def main():
    with tempfile.TemporaryDirectory() as tmp:
        iso = package_cd(tmp)
        run_side_by_side(lambda: snapshot_unreadable(tmp, iso), lambda: restore_fails(tmp, iso))
        disk_vanishes(tmp, iso)


if __name__ == "__main__":
    run_scenario(main)
