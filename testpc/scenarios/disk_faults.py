"""Test PC: the disk steps when something goes wrong.

  no disk at all                 "FATAL ERROR: no harddrives found"
  mke2fs failing                 "ERROR: could not format partitions", false
  a kept tree too big to restore error line, the preparation still succeeds

(An old system that does not mount is the blank disk of disk_keep_config.)"""

import os
import struct
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import disk_layouts as dc  # noqa: E402

SMALL = 5  # cylinders: 41,126,400 bytes, ext2 without journal


def expect_lines(transcript, wanted, unwanted=()):
    lines = dc.console_lines(transcript)
    try:
        for line in wanted:
            dc.expect(line in lines, "missing driver line %r" % line)
        for text in unwanted:
            dc.expect(text not in transcript, "unexpected %r" % text)
        dc.expect(lines[-1] == "end", "the driver did not reach its end")
    except dc.CheckFailed:
        sys.stderr.write(transcript)
        raise
    return lines


def no_disk():
    transcript = dc.run_test_pc([])
    expect_lines(transcript, ["detect_disk false"], ["Found harddrive"])
    dc.expect("\nFATAL ERROR: no harddrives found" in transcript.replace("\r", ""),
              "no FATAL ERROR line")
    print("ok: no disk")


def broken_mke2fs(tmp):
    image = os.path.join(tmp, "hda.img")
    dc.make_sparse_image(image, 50 * dc.CYLINDER_BYTES)
    transcript = dc.run_test_pc([image], ["testpc-disk.break-mke2fs"])
    expect_lines(transcript, ["prepare_disk false", "mounted after failed preparation: nothing"],
                 ["could not mount", "could not create"])
    dc.expect("ERROR: could not format partitions" in transcript, "no format error line")
    # The table was written before the formatting failed; no boot program.
    dc.check_layout(image, 50, False)
    dc.expect(dc.read_sector0(image)[:184] == b"\0" * 184, "boot program written anyway")
    print("ok: mke2fs failing")


def old_system_too_big(program, tmp):
    """An old system whose file system was made with few inodes holds more
    data than the installer's new one can: the restore runs out of space."""
    image = os.path.join(tmp, "hda.img")
    dc.make_sparse_image(image, SMALL * dc.CYLINDER_BYTES)
    start, count = dc.SECTORS_PER_TRACK, SMALL * dc.CYLINDER_SECTORS - dc.SECTORS_PER_TRACK
    with open(image, "r+b") as f:
        f.seek(446)
        f.write(bytes([0x80, 1, 1, 0, 0x83, 254, 255, 255]) + struct.pack("<II", start, count))
        f.seek(510)
        f.write(b"\x55\xaa")
    part = os.path.join(tmp, "old.fs")
    dc.make_sparse_image(part, count * dc.SECTOR)
    dc.run(["mke2fs", "-q", "-F", "-t", "ext2", "-b", "1024", "-N", "64", "-m", "0",
            "-O", "^resize_inode", part])
    free = int(dc.run(["dumpe2fs", "-h", part]).stdout.split("Free blocks:")[1].split()[0])
    data = os.path.join(tmp, "data")
    with open(data, "wb") as f:
        f.write(b"\x5a" * ((free - 600) * 1024))  # leave room for indirect blocks
    dc.debugfs_script(part, 0, ["mkdir /vyre", "mkdir /vyre/store",
                                "write %s /vyre/store/firmware.bin" % data])
    dc.e2fsck_clean(part, 0)
    dc.run(["dd", "if=" + part, "of=" + image, "bs=512", "seek=%d" % start, "conv=notrunc,sparse",
            "status=none"])

    transcript = dc.run_test_pc([image], ["testpc-disk.keep"], memory=512)
    expect_lines(transcript, ["prepare_disk true"], ["could not format", "couldn't keep config"])
    dc.expect("Reading old configuration..." in transcript, "no reading message")
    dc.expect("ERROR: couldn't write old configuration - proboably not enough space on the disk"
              in transcript, "no restore error line")
    root = dc.check_new_system(image, SMALL, False, False)
    dc.check_boot_record(image, program)
    restored = dc.inode_stat(image, root, "/vyre/store/firmware.bin")
    dc.expect(restored is not None and restored["size"] < os.path.getsize(data),
              "the too-big file: %r" % restored)
    print("ok: old configuration too big for the new disk")


def main():
    program = dc.boot_program_bytes(dc.target_dir())
    no_disk()
    with tempfile.TemporaryDirectory(dir="/tmp") as tmp:
        broken_mke2fs(tmp)
    with tempfile.TemporaryDirectory(dir="/tmp") as tmp:
        old_system_too_big(program, tmp)


if __name__ == "__main__":
    import testpc
    testpc.run_scenario(main)
