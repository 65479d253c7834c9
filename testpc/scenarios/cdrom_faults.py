"""Test PC: the installation CD has unreadable sectors inside a package
file (the CD image opened through the emulator's blkdebug driver, every
read of one sector 200 KiB into beta.vpk failing with EIO). The CD-ROM
installation of alpha and beta (target_disk_faults.py's CD, beta made
large) unpacks alpha, then the read of beta stops short:

  "\\nFATAL ERROR: corrupted CD-ROM", "Press ENTER to reboot", the restart;

never "Software installed.". On the disk: alpha whole, and nothing of
beta (its unpacker got a truncated package: no file of it, its record
says "incomplete"),
the file system clean.
"""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import disk_layouts as dc  # noqa: E402
from cdrom_install import UNPACKER_LINE  # noqa: E402
from floppy_set_faults import expect  # noqa: E402
from target_disk_faults import DISK_MB, ends_failed, package_cd, start_installation  # noqa: E402
from testpc import FaultyDrive, fail, make_disk_image, run_scenario  # noqa: E402

BETA_BYTES = 400 << 10
FAULT_OFFSET = 200 << 10  # into beta.vpk
CD_SECTOR = 2048


def file_sector(iso, path, offset):
    """The 512-byte sector of the ISO image that holds byte offset of the
    file path (a file's extent is contiguous and starts on a CD sector)."""
    with open(path, "rb") as f:
        head = f.read(CD_SECTOR)
    with open(iso, "rb") as f:
        data = f.read()
    for at in range(0, len(data), CD_SECTOR):
        if data[at:at + CD_SECTOR] == head:
            return (at + offset) // 512
    raise AssertionError("%s not found in %s" % (path, iso))


def main():
    with tempfile.TemporaryDirectory() as tmp:
        iso = package_cd(tmp, beta_bytes=BETA_BYTES)
        beta = os.path.join(tmp, "cd", "packages", "beta.vpk")
        sector = file_sector(iso, beta, FAULT_OFFSET)
        disk = make_disk_image(os.path.join(tmp, "hda.img"), DISK_MB)
        cd = FaultyDrive(iso, fail("read", sector=sector))
        with start_installation("cdrom_faults", cd, disk) as pc:
            text = ends_failed(pc, "\nFATAL ERROR: corrupted CD-ROM\n")
        runs = UNPACKER_LINE.findall(text)
        expect([r[0] for r in runs] == ["alpha"] and runs[0][1] == runs[0][2],
               "whole unpacker runs %r (beta must not be one)" % runs)
        start = dc.partition_entries(dc.read_sector0(disk))[0][2]
        dc.e2fsck_clean(disk, start)
        expect(dc.cat(disk, start, "/etc/alpha/alpha.conf") == b"alpha settings\n" * 40,
               "alpha is not whole")
        expect(dc.inode_stat(disk, start, "/var/beta/data.bin") is None, "a part of beta is on "
               "the disk")
        records = {name: dc.cat(disk, start, "/var/pdb/" + name)
                   for name in dc.listing(disk, start, "/var/pdb")}
        expect(sorted(records) == ["alpha", "beta"] and b"state complete\n" in records["alpha"]
               and b"state incomplete\n" in records["beta"], "records: %r" % records)
    print("cdrom_faults: ok (sector %d of the CD)" % sector)


if __name__ == "__main__":
    run_scenario(main)
