"""Looks into a test PC's disk image from the host without mounting it.

The partition table is read from the image's first sector; a partition is
copied out to a sparse file and examined with debugfs and e2fsck -n.
"""

import os
import struct
import subprocess
import tempfile


def partitions(image):
    """The four primary entries of the image's partition table as
    (boot flag, type, first sector, sector count); empty slots left out."""
    with open(image, "rb") as f:
        mbr = f.read(512)
    if len(mbr) < 512 or mbr[510:512] != b"\x55\xaa":
        return []
    result = []
    for i in range(4):
        entry = mbr[446 + 16 * i:446 + 16 * (i + 1)]
        boot, ptype, first, count = entry[0], entry[4], *struct.unpack("<II", entry[8:16])
        if ptype != 0:
            result.append((boot, ptype, first, count))
    return result


def is_blank(image):
    """True when not one byte of the image is other than zero."""
    with open(image, "rb") as f:
        while True:
            chunk = f.read(1 << 20)
            if not chunk:
                return True
            if chunk.count(0) != len(chunk):
                return False


class Partition:
    """One partition of a disk image, copied out to a temporary file."""

    def __init__(self, image, index):
        parts = partitions(image)
        if index >= len(parts):
            raise AssertionError("%s has no partition %d" % (image, index + 1))
        _, _, first, count = parts[index]
        fd, self.path = tempfile.mkstemp(prefix="floppy_part_", suffix=".img")
        os.close(fd)
        subprocess.run(["dd", "if=" + image, "of=" + self.path, "bs=512", "skip=%d" % first,
                        "count=%d" % count, "conv=sparse", "status=none"], check=True)

    def close(self):
        os.unlink(self.path)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def debugfs(self, request):
        r = subprocess.run(["debugfs", "-R", request, self.path], capture_output=True)
        return r.stdout.decode("latin-1")

    def read(self, path):
        """The file's bytes, or None when it is not there."""
        if not self.exists(path):
            return None
        r = subprocess.run(["debugfs", "-R", "cat " + path, self.path], capture_output=True)
        return r.stdout

    def exists(self, path):
        r = subprocess.run(["debugfs", "-R", "stat " + path, self.path], capture_output=True)
        return b"Inode:" in r.stdout

    def listing(self, path):
        """Names in a directory (without . and ..)."""
        out = self.debugfs("ls -p " + path)
        names = []
        for line in out.splitlines():
            fields = line.strip("/").split("/")
            if len(fields) >= 5 and fields[4] not in (".", ".."):
                names.append(fields[4])
        return names

    def walk(self, path="/"):
        """Every path below path, depth first."""
        result = []
        for name in self.listing(path):
            child = path.rstrip("/") + "/" + name
            result.append(child)
            out = self.debugfs("stat " + child)
            if "Type: directory" in out:
                result.extend(self.walk(child))
        return result

    def fsck_clean(self):
        """(clean?, e2fsck output): a forced read-only check."""
        r = subprocess.run(["e2fsck", "-f", "-n", self.path], capture_output=True)
        return r.returncode == 0, r.stdout.decode("latin-1") + r.stderr.decode("latin-1")
