"""Test PC: the installer's disk steps on blank disks of the three layouts.

  single partition with journal   400 MB (50 cylinders of 255 x 63)
  single partition, ext2           41,126,400 bytes (5 cylinders: not over 40 MiB)
  two partitions with journal      8.6 GB (1044 cylinders), a second disk beside it

Each image is checked from the host after the run: partition table, e2fsck,
journal, lilo.conf, fstab, .nofsck, base directories, boot program, and the
console lines of the driver and its recorder programs. The checks of a
prepared disk here are shared by the other disk scenarios.

Everything here reads the image file directly (the partition table from
sector 0, the file systems through e2fsprogs with an offset), so nothing on
this machine is mounted."""

import os
import re
import struct
import subprocess
import sys
import tempfile

from testpc import is_blank

SECTOR = 512
HEADS = 255
SECTORS_PER_TRACK = 63
CYLINDER_SECTORS = HEADS * SECTORS_PER_TRACK   # 16,065
CYLINDER_BYTES = CYLINDER_SECTORS * SECTOR     # 8,225,280


class CheckFailed(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise CheckFailed(what)


def make_sparse_image(path, size):
    with open(path, "wb") as image:
        image.truncate(size)


def read_sector0(image):
    with open(image, "rb") as f:
        return f.read(SECTOR)


def partition_entries(sector0):
    """The four entries: (boot flag, type, first sector, sector count)."""
    entries = []
    for i in range(4):
        raw = sector0[446 + 16 * i:446 + 16 * (i + 1)]
        flag, ptype = raw[0], raw[4]
        start, count = struct.unpack("<II", raw[8:16])
        entries.append((flag, ptype, start, count))
    return entries


def fs_location(image, start_sector):
    return "%s?offset=%d" % (image, start_sector * SECTOR)


def run(args, check=True):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True)
    if check and result.returncode != 0:
        raise CheckFailed("%s failed (%d): %s" % (" ".join(args), result.returncode,
                                                   result.stderr.strip()))
    return result


def e2fsck_clean(image, start):
    result = run(["e2fsck", "-fn", fs_location(image, start)], check=False)
    expect(result.returncode == 0, "e2fsck -fn at sector %d: status %d\n%s%s" %
           (start, result.returncode, result.stdout, result.stderr))


def unmounted_cleanly(image, start):
    """True when the file system was unmounted (or never mounted): its
    state says clean and no journal recovery is pending."""
    out = run(["dumpe2fs", "-h", fs_location(image, start)]).stdout
    state = re.search(r"^Filesystem state:\s*(.*)$", out, re.M)
    features = re.search(r"^Filesystem features:\s*(.*)$", out, re.M)
    expect(state is not None and features is not None, "no state or feature line from dumpe2fs")
    return (state.group(1).strip() == "clean" and
            "needs_recovery" not in features.group(1).split())


def has_journal(image, start):
    out = run(["dumpe2fs", "-h", fs_location(image, start)]).stdout
    features = re.search(r"^Filesystem features:\s*(.*)$", out, re.M)
    expect(features is not None, "no feature line from dumpe2fs")
    return "has_journal" in features.group(1).split()


def debugfs(image, start, request, write=False):
    args = ["debugfs"] + (["-w"] if write else []) + ["-R", request, fs_location(image, start)]
    return run(args).stdout


def debugfs_script(image, start, commands):
    with tempfile.NamedTemporaryFile("w", suffix=".debugfs", delete=False) as script:
        script.write("\n".join(commands) + "\n")
    try:
        out = run(["debugfs", "-w", "-f", script.name, fs_location(image, start)])
    finally:
        os.unlink(script.name)
    return out.stdout + out.stderr


def cat(image, start, path):
    """The content of a file, or None when it does not exist."""
    with tempfile.TemporaryDirectory() as tmp:
        target = os.path.join(tmp, "out")
        run(["debugfs", "-R", "dump %s %s" % (path, target), fs_location(image, start)])
        if not os.path.exists(target):
            return None
        with open(target, "rb") as f:
            return f.read()


def listing(image, start, directory):
    """Names in a directory (without . and ..)."""
    out = debugfs(image, start, "ls -p %s" % directory)
    names = []
    for line in out.splitlines():
        # "/inode/mode/uid/gid/name/size/"
        fields = line.strip().split("/")
        if len(fields) >= 6 and fields[5] not in ("", ".", ".."):
            names.append(fields[5])
    return sorted(names)


def inode_stat(image, start, path):
    """Mode, owner, group, links, size, mtime and inode number of path, or
    None when it does not exist."""
    out = debugfs(image, start, "stat %s" % path)
    m = re.search(r"Inode:\s*(\d+)\s+Type:\s*(\S+)\s+Mode:\s*(\d+)", out)
    if m is None:
        return None
    owner = re.search(r"User:\s*(\d+)\s+Group:\s*(\d+)", out)
    links = re.search(r"Links:\s*(\d+)", out)
    size = re.search(r"Size:\s*(\d+)", out)
    mtime = re.search(r"mtime:\s*0x([0-9a-f]+)", out)
    return {
        "inode": int(m.group(1)), "type": m.group(2), "mode": int(m.group(3), 8),
        "uid": int(owner.group(1)), "gid": int(owner.group(2)),
        "links": int(links.group(1)), "size": int(size.group(1)),
        "mtime": int(mtime.group(1), 16),
    }


def check_boot_record(image, boot_program, old_sector0=None):
    sector0 = read_sector0(image)
    expect(len(boot_program) <= 184, "boot program longer than 184 bytes")
    program = boot_program + b"\0" * (184 - len(boot_program))
    expect(sector0[:184] == program, "bytes 0-183 are not the boot program")
    expect(sector0[184:446] == b"\0" * 262, "bytes 184-445 are not zero")
    expect(sector0[510:512] == b"\x55\xaa", "no 0x55AA signature")
    return sector0


def check_layout(image, cylinders, two_partitions):
    """The partition table of the chosen layout; returns the start sectors
    of the file systems (root, boot or None)."""
    entries = partition_entries(read_sector0(image))
    if two_partitions:
        boot = (CYLINDER_BYTES + 10485759) // CYLINDER_BYTES
        used = entries[:2]
        ends = [boot * CYLINDER_SECTORS, cylinders * CYLINDER_SECTORS]
        begins = [0, boot * CYLINDER_SECTORS]
    else:
        used = entries[:1]
        ends = [cylinders * CYLINDER_SECTORS]
        begins = [0]
    for number, (entry, begin, end) in enumerate(zip(used, begins, ends), 1):
        flag, ptype, start, count = entry
        expect(flag == 0x80, "partition %d is not bootable (flag %#x)" % (number, flag))
        expect(ptype == 0x83, "partition %d has type %#x" % (number, ptype))
        # A partition starts at its cylinder, or one track into it.
        expect(begin <= start <= begin + SECTORS_PER_TRACK,
               "partition %d starts at sector %d, cylinder starts at %d" % (number, start, begin))
        expect(start + count == end, "partition %d ends at sector %d, not %d" %
               (number, start + count, end))
    for number, entry in enumerate(entries[len(used):], len(used) + 1):
        expect(entry == (0, 0, 0, 0), "entry %d is not empty: %r" % (number, entry))
    starts = [entry[2] for entry in used]
    return (starts[1], starts[0]) if two_partitions else (starts[0], None)


def lilo_conf(device, two_partitions):
    return ("boot=%s1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\nimage=/boot/vmlinuz\n"
            "  label=System\n  root=%s%d\n  read-only\n" %
            (device, device, 2 if two_partitions else 1)).encode()


def fstab(device, two_partitions, journal):
    kind = "ext3" if journal else "ext2"
    if two_partitions:
        text = ("%s2  /     %s defaults 1 1\n%s1  /boot ext2 defaults 1 2\n" %
                (device, kind, device))
    else:
        text = "%s1  /     %s defaults 1 1\n" % (device, kind)
    return (text + "none /proc proc defaults 0 0\n"
            "none /dev/pts devpts gid=5,mode=620 0 0\n").encode()


def check_new_system(image, cylinders, two_partitions, journal, device="/dev/hda"):
    """Partition table, file systems, system files and base directories of
    a freshly prepared disk. Returns the root file system's start sector."""
    root, boot = check_layout(image, cylinders, two_partitions)
    e2fsck_clean(image, root)
    expect(has_journal(image, root) == journal, "root journal should be %s" % journal)
    if boot is not None:
        e2fsck_clean(image, boot)
        expect(not has_journal(image, boot), "the boot partition has a journal")
        expect(listing(image, boot, "/") == ["lost+found"],
               "boot partition holds %r" % listing(image, boot, "/"))
    expect(cat(image, root, "/etc/lilo.conf") == lilo_conf(device, two_partitions),
           "lilo.conf differs: %r" % cat(image, root, "/etc/lilo.conf"))
    expect(cat(image, root, "/etc/fstab") == fstab(device, two_partitions, journal),
           "fstab differs: %r" % cat(image, root, "/etc/fstab"))
    for name in ("/etc/lilo.conf", "/etc/fstab"):
        expect(inode_stat(image, root, name)["mode"] & 0o7777 == 0o644, name + " not 0644")
    nofsck = inode_stat(image, root, "/.nofsck")
    if journal:
        expect(nofsck is not None and nofsck["size"] == 0, "no empty .nofsck")
    else:
        expect(nofsck is None, ".nofsck without a journal")
    for directory in ("/proc", "/vyre", "/vyre/etc", "/var", "/var/pdb") + \
            (("/boot",) if two_partitions else ()):
        status = inode_stat(image, root, directory)
        expect(status is not None and status["type"] == "directory", directory + " missing")
    return root


def console_lines(transcript, prefix="testpc-disk: "):
    return [line[line.index(prefix) + len(prefix):].rstrip("\r")
            for line in transcript.splitlines() if prefix in line]


def boot_program_bytes(build_dir):
    """The assembled boot program of a build (the flat binary)."""
    path = os.path.join(build_dir, "boot_program", "boot_program.bin")
    with open(path, "rb") as f:
        return f.read()


def run_test_pc(disks, args=(), timeout=600, memory=256):
    """Boots the test PC with testpc-disk as init, the images in disks at
    the IDE positions hda.. in order, and returns the console transcript
    once the driver has powered the machine off."""
    import testpc
    with testpc.TestPC("disk", init="/sbin/testpc-disk", init_args=args, disks=disks,
                       memory_mb=memory) as pc:
        pc.start()
        pc.wait_restart(timeout)
        return pc.transcript


def target_dir():
    path = os.environ.get("BRINDLEX_TARGET_DIR")
    if not path:
        raise CheckFailed("BRINDLEX_TARGET_DIR is not set")
    return path


def run_layout(program, tmp, cylinders, two, journal, extra_disk=False):
    image = os.path.join(tmp, "hda.img")
    make_sparse_image(image, cylinders * CYLINDER_BYTES)
    disks = [image]
    if extra_disk:
        other = os.path.join(tmp, "hdb.img")
        make_sparse_image(other, 60 * CYLINDER_BYTES)
        disks.append(other)
    transcript = run_test_pc(disks)
    lines = console_lines(transcript)
    try:
        expect("Found harddrive as IDE Primary master (disk C)" in transcript,
                  "no disk found message")
        expect("disk /dev/hda cylinders %d bytes/cylinder %d boot %d journal %d" %
                  (cylinders, CYLINDER_BYTES, int(two), int(journal)) in lines,
                  "disk line missing")
        expect("prepare_disk true" in lines, "preparation failed")
        for dots in ("Looking for harddrives...", "Creating partition...", "Formatting disk..."):
            expect(dots in transcript, "no %r" % dots)
        expect("ERROR" not in transcript, "an error line")
        mounted = [l for l in lines if l.startswith("mounted after preparation: ")]
        expect(any(" /mnt ext%d " % (3 if journal else 2) in l for l in mounted),
                  "new root not mounted at /mnt: %r" % mounted)
        expect(any(" /mnt/boot ext2 " in l for l in mounted) == two,
                  "boot partition mount: %r" % mounted)
        expect("mounted after finish: nothing" in lines, "left mounted after finish")
        fsck = [l for l in lines if l.startswith("fsck argv: ")]
        if two:
            expect(fsck == [], "file-system check in the two-partition layout")
            expect("Checking disk integrity..." not in transcript, "check message")
        else:
            expect(fsck == ["fsck argv: -d -v root: new read-only: yes"],
                      "fsck recorder lines: %r" % fsck)
            expect("Checking disk integrity..." in transcript, "no check message")
        expect(lines[-1] == "end", "the driver did not reach its end")

        root = check_new_system(image, cylinders, two, journal)
        check_boot_record(image, program)
        trace = cat(image, root, "/testpc-trace")
        expect(trace == b"bash argv: -c /etc/rc.d/rc.postinstall\nbash root: new\n"
                  b"bash script: present\n", "post-install trace: %r" % trace)
        if extra_disk:
            expect(is_blank(disks[1]), "the second disk was written")
    except CheckFailed:
        sys.stderr.write(transcript)
        raise


def main():
    program = boot_program_bytes(target_dir())
    cases = [(50, False, True, False), (5, False, False, False), (1044, True, True, True)]
    for cylinders, two, journal, extra in cases:
        with tempfile.TemporaryDirectory(dir="/tmp") as tmp:
            run_layout(program, tmp, cylinders, two, journal, extra)
            print("ok: %d cylinders, %s, %s" % (cylinders, "two partitions" if two else
                                                 "one partition",
                                                 "journal" if journal else "no journal"))


if __name__ == "__main__":
    import testpc
    testpc.run_scenario(main)
