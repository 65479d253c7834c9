"""Test PC: a floppy installation on a small disk comes up from that disk.

A blank 41 MB disk (5 cylinders of 255 x 63: single-partition layout,
ext2) gets the whole sample floppy set. The installer restarts (it does
not power off); the disk is then read from the host: the post-install
script has installed the boot loader into partition 1's boot sector as
lilo.conf says (its configuration, its files beside the kernel in /boot,
its line in the post-install trace). Then the same disk boots on a PC
whose BIOS starts from the hard disk, with no kernel loaded by the
emulator: boot program -> partition boot sector -> kernel -> initial RAM
disk -> the installed system, which reports root /dev/hda1 (ext2), the
packages the disk records and no kept configuration, and powers off.

Last, partition 1's boot sector is blanked (no boot loader installed):
the boot program says "Missing operating system" and the PC stays there.

The checks of an installed disk here are shared by
boot_installed_two_partitions.py.
"""

import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import disk_layouts as dc  # noqa: E402
from floppy_set_install import answer_questions, feed_floppies, finish  # noqa: E402
from floppy_set_faults import boot  # noqa: E402
from testpc import TestPC, boot_installed_disk  # noqa: E402

expect = dc.expect
SMALL_CYLINDERS = 5

EXTLINUX_CONF = ("# Made from /etc/lilo.conf by the post-install script.\n"
                 "DEFAULT System\nPROMPT 0\nTIMEOUT 0\nLABEL System\n  LINUX vmlinuz\n"
                 "  INITRD initrd.img\n"
                 "  APPEND root=%s ro console=tty0 console=ttyS0,115200 quiet\n")


def sample_floppies(tmp):
    """Copies of the sample set's floppy images (the emulator locks the
    images it uses, and other scenarios may use the built ones)."""
    built = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "samples", "floppies")
    names = sorted(n for n in os.listdir(built) if n.endswith(".img"))
    expect(names, "no sample floppies in " + built)
    folder = os.path.join(tmp, "floppies")
    os.makedirs(folder, exist_ok=True)
    return [shutil.copy(os.path.join(built, n), folder) for n in names]


def install_sample_set(name, disk, images, keep=False, checked=True):
    """Floppy installation of the whole sample set, from the banner to the
    installer's restart; returns the log terminal's text."""
    pc = boot(name, os.environ["BRINDLEX_BOOTSYS_DIR"], disk, images[0])
    try:
        answer_questions(pc, keep)
        feed_floppies(pc, images)
        finish(pc, checked)
        expect("ERROR" not in pc.console_text(), "an error line on the console")
        expect(not pc.powered_off(), "the installer powered the PC off instead of restarting")
        return pc.log
    except Exception:
        pc.report()
        raise
    finally:
        pc.close()


def check_boot_loader(image, boot_start, boot_folder, root_start, root_device):
    """The boot loader as the post-install script installed it: partition
    1's boot sector (boot_start), the loader's files and configuration in
    boot_folder of that partition, the trace line on the root."""
    with open(image, "rb") as f:
        sector0 = f.read(512)
        f.seek(boot_start * 512)
        boot_sector = f.read(512)
    expect(boot_sector[510:512] == b"\x55\xaa", "partition 1 has no boot sector")
    expect(boot_sector[:184] != sector0[:184], "partition 1 holds the master boot record's program")
    names = dc.listing(image, boot_start, boot_folder)
    for name in ("vmlinuz", "initrd.img", "extlinux.conf", "ldlinux.sys", "ldlinux.c32"):
        expect(name in names, "%s missing in %s: %r" % (name, boot_folder, names))
    conf = dc.cat(image, boot_start, boot_folder.rstrip("/") + "/extlinux.conf")
    expect(conf == (EXTLINUX_CONF % root_device).encode(), "extlinux.conf: %r" % conf)
    kernel = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "samples", "debian", "vmlinuz")
    with open(kernel, "rb") as f:
        expect(dc.cat(image, boot_start, boot_folder.rstrip("/") + "/vmlinuz") == f.read(),
               "the kernel on the disk differs from the kernel package's")
    trace = (dc.cat(image, root_start, "/var/log/postinstall.trace") or b"").decode()
    line = ("boot loader: extlinux in /dev/hda1: System = /boot/vmlinuz with /boot/initrd.img, "
            "root=%s ro\n" % root_device)
    expect(line in trace, "post-install trace: %r" % trace)


def check_reported(system, image, root_start, root_device, root_type, kept):
    """The installed system's line against the disk it came up from."""
    expect((system.root, system.root_type) == (root_device, root_type),
           "the system reports root %s (%s)" % (system.root, system.root_type))
    recorded = dc.listing(image, root_start, "/var/pdb")
    expect(system.packages == recorded, "packages reported %r, recorded on the disk %r"
           % (system.packages, recorded))
    expect(system.kept_configuration == kept, "kept configuration reported %r, expected %r"
           % (system.kept_configuration, kept))
    expect("SYSLINUX" in system.console, "the partition's boot loader did not announce itself")


def main():
    with tempfile.TemporaryDirectory(dir="/tmp") as tmp:
        images = sample_floppies(tmp)
        disk = os.path.join(tmp, "hda.img")
        dc.make_sparse_image(disk, SMALL_CYLINDERS * dc.CYLINDER_BYTES)
        log = install_sample_set("boot_one_partition", disk, images)
        expect("boot loader: extlinux in /dev/hda1" in log, "no boot loader line on the log")
        root = dc.check_new_system(disk, SMALL_CYLINDERS, False, False)
        check_boot_loader(disk, root, "/boot", root, "/dev/hda1")
        print("ok: installed, boot loader in partition 1")

        system = boot_installed_disk(disk, name="boot_one_partition-up")
        check_reported(system, disk, root, "/dev/hda1", "ext2", [])
        dc.e2fsck_clean(disk, root)
        print("ok: came up from the disk: %s" % system.line)

        # No boot loader in partition 1: the boot program's own message.
        with open(disk, "r+b") as f:
            f.seek(root * 512)
            f.write(bytes(512))
        with TestPC("boot_one_partition-blank", disks=[disk], boot_from="disk") as pc:
            pc.start()
            before = pc.expect("Missing operating system", 120)
            expect("Booting from Hard Disk" in before, "the BIOS did not boot the disk")
            expect(pc.wait_end(5) is None, "the PC did not stay halted (%s)" % pc.verdict)
            expect(pc.rest().strip() == "", "more after the message: %r" % pc.console_text())
        print("ok: a blank partition boot sector stops at \"Missing operating system\"")


if __name__ == "__main__":
    import testpc
    testpc.run_scenario(main)
