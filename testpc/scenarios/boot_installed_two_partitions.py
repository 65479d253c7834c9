"""Test PC: a large disk installed twice, keeping its configuration, comes
up from its boot partition each time.

A blank 8.4 GB disk (1024 cylinders of 255 x 63: two-partition layout,
/boot on partition 1 as ext2, the root on partition 2 as ext3) gets the
whole sample floppy set (no file-system check in this layout). The kernel,
its initial RAM disk and the boot loader's files land on partition 1, in
whose boot sector the boot loader is installed; the PC then comes up from
the disk and the installed system reports root /dev/hda2 (ext3).

The host then gives the installed system a configuration below
/vyre/store, and the set is installed again with y to keeping it: the new
system boots as well and reports the kept configuration, which is on the
disk with its contents.
"""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import disk_layouts as dc  # noqa: E402
from boot_installed_one_partition import (check_boot_loader, check_reported,  # noqa: E402
                                          install_sample_set, sample_floppies)
from testpc import boot_installed_disk  # noqa: E402

expect = dc.expect
LARGE_CYLINDERS = 1024


def check_installed(disk):
    """Layout, file systems and system files of the installed disk; returns
    the start sectors of the root and of the boot partition."""
    root, boot = dc.check_layout(disk, LARGE_CYLINDERS, True)
    dc.e2fsck_clean(disk, root)
    dc.e2fsck_clean(disk, boot)
    expect(dc.has_journal(disk, root), "the root has no journal")
    expect(not dc.has_journal(disk, boot), "the boot partition has a journal")
    expect(dc.cat(disk, root, "/etc/lilo.conf") == dc.lilo_conf("/dev/hda", True), "lilo.conf")
    expect(dc.cat(disk, root, "/etc/fstab") == dc.fstab("/dev/hda", True, True), "fstab")
    # Everything below /boot went onto the boot partition.
    expect(dc.listing(disk, root, "/boot") == [], "files below the root's /boot mount point")
    check_boot_loader(disk, boot, "/", root, "/dev/hda2")
    return root, boot


def main():
    with tempfile.TemporaryDirectory(dir="/tmp") as tmp:
        images = sample_floppies(tmp)
        disk = os.path.join(tmp, "hda.img")
        dc.make_sparse_image(disk, LARGE_CYLINDERS * dc.CYLINDER_BYTES)
        install_sample_set("boot_two_partitions", disk, images, checked=False)
        root, _ = check_installed(disk)
        print("ok: installed, kernel and boot loader on the boot partition")

        system = boot_installed_disk(disk, name="boot_two_partitions-up")
        check_reported(system, disk, root, "/dev/hda2", "ext3", [])
        print("ok: came up from the disk: %s" % system.line)

        # A configuration to keep across the second installation.
        for name, content in (("marker", b"kept across the reinstallation\n"),
                              ("hostname", b"router-7\n")):
            with open(os.path.join(tmp, name), "wb") as f:
                f.write(content)
        dc.debugfs_script(disk, root, [
            "mkdir /vyre/store", "mkdir /vyre/store/etc",
            "write %s/marker /vyre/store/marker" % tmp,
            "write %s/hostname /vyre/store/etc/hostname" % tmp])
        expect(dc.listing(disk, root, "/vyre/store") == ["etc", "marker"], "store not written")

        install_sample_set("boot_two_partitions-keep", disk, images, keep=True, checked=False)
        root, _ = check_installed(disk)
        expect(dc.cat(disk, root, "/vyre/store/etc/hostname") == b"router-7\n",
               "the kept configuration is not on the disk")
        system = boot_installed_disk(disk, name="boot_two_partitions-kept")
        check_reported(system, disk, root, "/dev/hda2", "ext3", ["etc", "marker"])
        print("ok: reinstalled keeping the configuration, came up: %s" % system.line)


if __name__ == "__main__":
    import testpc
    testpc.run_scenario(main)
