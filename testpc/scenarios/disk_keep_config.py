"""Test PC: keeping the old configuration across the reformat of its disk.

A first run keeps the configuration of a blank disk (nothing mounts: not a
word about it); a second keeps over that installation, which has no
/vyre/store (no reading, no restore, no message). The host then gives that installation a /vyre/store tree
(nested directories; files with modes, owners, groups and times; an empty
file; a symbolic link and a FIFO; two hard links) and a file outside it.
A third run with the keep flag must bring the tree back and nothing else:
the link and the FIFO are gone, the hard links are two files."""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import disk_layouts as dc  # noqa: E402

CYLINDERS = 50
BIG = bytes((i * 7 + i // 251) & 0xFF for i in range(70000))  # spans several chunks


def populate_store(image, root, tmp):
    files = {"config": b"hostname router\n", "big": BIG, "empty": b"",
             "linked": b"one inode, two names\n", "old-marker": b"old system\n"}
    for name, content in files.items():
        with open(os.path.join(tmp, name), "wb") as f:
            f.write(content)
    s = "/vyre/store"
    out = dc.debugfs_script(image, root, [
        "mkdir %s" % s, "mkdir %s/etc" % s, "mkdir %s/etc/deep" % s,
        "write %s/config %s/config" % (tmp, s),
        "sif %s/config mode 0104755" % s, "sif %s/config uid 4321" % s,
        "sif %s/config gid 8765" % s, "sif %s/config mtime @1000000000" % s,
        "write %s/big %s/etc/deep/big" % (tmp, s),
        "sif %s/etc/deep/big mode 0100640" % s, "sif %s/etc/deep/big uid 77" % s,
        "sif %s/etc/deep/big gid 88" % s, "sif %s/etc/deep/big mtime @1200000000" % s,
        "write %s/empty %s/empty" % (tmp, s),
        "sif %s/empty uid 65000" % s, "sif %s/empty mtime @900000000" % s,
        "sif %s/etc mode 040700" % s, "sif %s/etc uid 5" % s, "sif %s/etc gid 6" % s,
        "write %s/linked %s/linked" % (tmp, s),
        "ln %s/linked %s/etc/second" % (s, s), "sif %s/linked links_count 2" % s,
        "symlink %s/alias config" % s,
        "cd %s/etc" % s, "mknod pipe p", "cd /",
        "write %s/old-marker /old-marker" % tmp,
    ])
    # The store as the host made it: the symlink, FIFO and both names exist.
    dc.expect(dc.listing(image, root, s) == ["alias", "config", "empty", "etc", "linked"],
              "store not populated: %s" % out)
    dc.expect(dc.listing(image, root, s + "/etc") == ["deep", "pipe", "second"],
              "store/etc not populated: %s" % out)
    dc.e2fsck_clean(image, root)


def check_restored(image, root):
    s = "/vyre/store"
    dc.expect(dc.listing(image, root, s) == ["config", "empty", "etc", "linked"],
              "restored store: %r" % dc.listing(image, root, s))
    dc.expect(dc.listing(image, root, s + "/etc") == ["deep", "second"],
              "restored store/etc: %r" % dc.listing(image, root, s + "/etc"))
    dc.expect(dc.cat(image, root, s + "/config") == b"hostname router\n", "config content")
    dc.expect(dc.cat(image, root, s + "/etc/deep/big") == BIG, "big content")
    dc.expect(dc.cat(image, root, s + "/empty") == b"", "empty content")
    config = dc.inode_stat(image, root, s + "/config")
    dc.expect((config["mode"], config["uid"], config["gid"], config["mtime"]) ==
              (0o4755, 4321, 8765, 1000000000), "config status %r" % config)
    big = dc.inode_stat(image, root, s + "/etc/deep/big")
    dc.expect((big["mode"], big["uid"], big["gid"], big["mtime"]) ==
              (0o640, 77, 88, 1200000000), "big status %r" % big)
    empty = dc.inode_stat(image, root, s + "/empty")
    dc.expect((empty["uid"], empty["mtime"]) == (65000, 900000000), "empty status %r" % empty)
    etc = dc.inode_stat(image, root, s + "/etc")
    dc.expect((etc["mode"], etc["uid"], etc["gid"]) == (0o700, 5, 6), "etc status %r" % etc)
    first = dc.inode_stat(image, root, s + "/linked")
    second = dc.inode_stat(image, root, s + "/etc/second")
    dc.expect(first["links"] == 1 and second["links"] == 1 and
              first["inode"] != second["inode"], "hard links not split: %r %r" % (first, second))
    dc.expect(dc.cat(image, root, s + "/etc/second") == b"one inode, two names\n",
              "second name content")
    dc.expect(dc.inode_stat(image, root, "/old-marker") is None, "the old system survived")


def main():
    program = dc.boot_program_bytes(dc.target_dir())
    with tempfile.TemporaryDirectory(dir="/tmp") as tmp:
        image = os.path.join(tmp, "hda.img")
        dc.make_sparse_image(image, CYLINDERS * dc.CYLINDER_BYTES)

        transcript = dc.run_test_pc([image], ["testpc-disk.keep"])
        try:
            lines = dc.console_lines(transcript)
            dc.expect("start keep=yes" in lines and "prepare_disk true" in lines,
                      "first run failed")
            dc.expect("old configuration" not in transcript and "ERROR" not in transcript,
                      "a message about the old configuration of a blank disk")
            root = dc.check_new_system(image, CYLINDERS, False, True)
        except dc.CheckFailed:
            sys.stderr.write(transcript)
            raise
        print("ok: keeping on a blank disk says nothing")

        # The installed system mounts but has no /vyre/store: nothing to keep.
        transcript = dc.run_test_pc([image], ["testpc-disk.keep"])
        try:
            lines = dc.console_lines(transcript)
            dc.expect("prepare_disk true" in lines, "run over a system without a store failed")
            dc.expect("old configuration" not in transcript and "ERROR" not in transcript,
                      "a message about a configuration that is not there")
            root = dc.check_new_system(image, CYLINDERS, False, True)
            dc.expect(dc.inode_stat(image, root, "/vyre/store") is None, "a store appeared")
        except dc.CheckFailed:
            sys.stderr.write(transcript)
            raise
        print("ok: keeping over a system without /vyre/store reads and restores nothing")

        populate_store(image, root, tmp)
        transcript = dc.run_test_pc([image], ["testpc-disk.keep"])
        try:
            lines = dc.console_lines(transcript)
            dc.expect("prepare_disk true" in lines, "second run failed")
            dc.expect("Reading old configuration..." in transcript, "no reading message")
            dc.expect("Writing back old configuration..." in transcript, "no writing message")
            dc.expect("ERROR" not in transcript, "an error line")
            root = dc.check_new_system(image, CYLINDERS, False, True)
            dc.check_boot_record(image, program)
            check_restored(image, root)
            trace = dc.cat(image, root, "/testpc-trace")
            dc.expect(trace.count(b"bash argv:") == 1, "the old trace survived: %r" % trace)
        except dc.CheckFailed:
            sys.stderr.write(transcript)
            raise
        print("ok: /vyre/store carried across the reformat, nothing else")


if __name__ == "__main__":
    import testpc
    testpc.run_scenario(main)
