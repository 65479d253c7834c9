"""Test PC: the installer's disk steps on blank disks of the three layouts.

  single partition with journal   400 MB (50 cylinders of 255 x 63)
  single partition, ext2           41,126,400 bytes (5 cylinders: not over 40 MiB)
  two partitions with journal      8.6 GB (1044 cylinders), a second disk beside it

Each image is checked from the host after the run: partition table, e2fsck,
journal, lilo.conf, fstab, .nofsck, base directories, boot program, and the
console lines of the driver and its recorder programs."""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import disk_checks as dc  # noqa: E402


def run_layout(bootsys, program, tmp, cylinders, two, journal, extra_disk=False):
    image = os.path.join(tmp, "hda.img")
    dc.make_sparse_image(image, cylinders * dc.CYLINDER_BYTES)
    disks = [image]
    if extra_disk:
        other = os.path.join(tmp, "hdb.img")
        dc.make_sparse_image(other, 60 * dc.CYLINDER_BYTES)
        disks.append(other)
    transcript = dc.run_test_pc(bootsys, disks)
    lines = dc.console_lines(transcript)
    try:
        dc.expect("Found harddrive as IDE Primary master (disk C)" in transcript,
                  "no disk found message")
        dc.expect("disk /dev/hda cylinders %d bytes/cylinder %d boot %d journal %d" %
                  (cylinders, dc.CYLINDER_BYTES, int(two), int(journal)) in lines,
                  "disk line missing")
        dc.expect("prepare_disk true" in lines, "preparation failed")
        for dots in ("Looking for harddrives...", "Creating partition...", "Formatting disk..."):
            dc.expect(dots in transcript, "no %r" % dots)
        dc.expect("ERROR" not in transcript, "an error line")
        mounted = [l for l in lines if l.startswith("mounted after preparation: ")]
        dc.expect(any(" /mnt ext%d " % (3 if journal else 2) in l for l in mounted),
                  "new root not mounted at /mnt: %r" % mounted)
        dc.expect(any(" /mnt/boot ext2 " in l for l in mounted) == two,
                  "boot partition mount: %r" % mounted)
        dc.expect("mounted after finish: nothing" in lines, "left mounted after finish")
        fsck = [l for l in lines if l.startswith("fsck argv: ")]
        if two:
            dc.expect(fsck == [], "file-system check in the two-partition layout")
            dc.expect("Checking disk integrity..." not in transcript, "check message")
        else:
            dc.expect(fsck == ["fsck argv: -d -v root: new read-only: yes"],
                      "fsck recorder lines: %r" % fsck)
            dc.expect("Checking disk integrity..." in transcript, "no check message")
        dc.expect(lines[-1] == "end", "the driver did not reach its end")

        root = dc.check_new_system(image, cylinders, two, journal)
        dc.check_boot_record(image, program)
        trace = dc.cat(image, root, "/testpc-trace")
        dc.expect(trace == b"bash argv: -c /etc/rc.d/rc.postinstall\nbash root: new\n"
                  b"bash script: present\n", "post-install trace: %r" % trace)
        if extra_disk:
            dc.expect(dc.is_blank(disks[1]), "the second disk was written")
    except dc.CheckFailed:
        sys.stderr.write(transcript)
        raise


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: %s BOOTSYS_DIR TARGET_DIR (the boot system and the i386 build "
                 "whose boot program it carries)" % sys.argv[0])
    bootsys, target = sys.argv[1], sys.argv[2]
    program = dc.boot_program_bytes(target)
    cases = [(50, False, True, False), (5, False, False, False), (1044, True, True, True)]
    for cylinders, two, journal, extra in cases:
        with tempfile.TemporaryDirectory(dir="/tmp") as tmp:
            run_layout(bootsys, program, tmp, cylinders, two, journal, extra)
            print("ok: %d cylinders, %s, %s" % (cylinders, "two partitions" if two else
                                                 "one partition",
                                                 "journal" if journal else "no journal"))


if __name__ == "__main__":
    main()
