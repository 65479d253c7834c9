#!/usr/bin/env python3
"""make_seeds.py HOST_BUILD_DIR OUT_DIR

Seed inputs for the fuzz targets, made by the project's own builders from
the host build: packages by brindlex-pkg (the small sample packages and a
few trees made here), floppy part files by brindlex-floppyset, geometry
reports by brindlex-sfdisk, and partition tables as the installer writes
them. Each target's seeds go into OUT_DIR/NAME/ (fuzz/run.sh takes them
from there). Seeds are kept small: a large seed slows every run.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile

SEPARATOR = b"\n%%\n"  # between the pieces of a catalogue input
CYLINDER_BYTES = 255 * 63 * 512


def run(*args):
    return subprocess.run(args, check=True, capture_output=True).stdout


def put(out, name, seed, data):
    folder = os.path.join(out, name)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, seed), "wb") as f:
        f.write(data)


def make_packages(pkg, tmp):
    """Small packages of every kind of entry, besides the sample ones."""
    tree = os.path.join(tmp, "tree")
    os.makedirs(os.path.join(tree, "etc", "rc.d"))
    os.makedirs(os.path.join(tree, "var", "empty"))
    with open(os.path.join(tree, "etc", "issue"), "w") as f:
        f.write("Brindlex\n")
    with open(os.path.join(tree, "etc", "rc.d", "rc.local"), "w") as f:
        f.write("#!/bin/sh\nexit 0\n")
    os.chmod(os.path.join(tree, "etc", "rc.d", "rc.local"), 0o4755)
    os.symlink("../etc/issue", os.path.join(tree, "var", "issue"))
    os.symlink("/absolute/target", os.path.join(tree, "var", "absolute"))
    made = {}
    for name, args in (("tree", ["-d", "A tree of every kind", "-D", "system", "-D", "routing"]),
                       ("alt", ["--alt-magic", "-d", ""]),
                       ("sixteen-byte-nam", ["-d", "x" * 300])):
        path = os.path.join(tmp, name + ".vpk")
        run(pkg, "build", "--name", name, "--root-owner", *args, "--output", path, tree)
        made[name] = path
    path = os.path.join(tmp, "empty.vpk")
    run(pkg, "build", "--name", "empty", "--output", path)
    made["empty"] = path
    return made


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make_seeds.py HOST_BUILD_DIR OUT_DIR")
    host, out = sys.argv[1], sys.argv[2]
    tools = {t: os.path.join(host, "bin", t)
             for t in ("brindlex-pkg", "brindlex-floppyset", "brindlex-sfdisk")}
    samples = os.path.join(host, "samples", "packages")
    for needed in list(tools.values()) + [samples]:
        if not os.path.exists(needed):
            sys.exit("make_seeds: %s is missing (make host first)" % needed)
    if os.path.isdir(out):
        shutil.rmtree(out)
    os.makedirs(out)
    with tempfile.TemporaryDirectory(prefix="fuzz-seeds-") as tmp:
        packages = make_packages(tools["brindlex-pkg"], tmp)
        for name in ("routing", "firewall", "webadmin"):
            packages[name] = os.path.join(samples, name + ".vpk")
        data = {}
        for name, path in packages.items():
            with open(path, "rb") as f:
                data[name] = f.read()

        # The package reader: choice bytes (wanted types, read size, source
        # and seeks, rounds), then the package.
        for name, blob in data.items():
            for i, choice in enumerate((b"\x07\x03\x01\x08", b"\xff\x01\x06\x20",
                                        b"\x38\x02\x03\x10", b"\x80\x04\x00\x04")):
                put(out, "package_reader", "%s-%d" % (name, i), choice + blob)

        # The catalogue: the defaults file, then the package files.
        sets = (("samples", b"system ppp routing\n", ["routing", "firewall", "webadmin"]),
                ("mixed", b"tree\nalt  empty\n", ["tree", "alt", "empty", "sixteen-byte-nam"]),
                ("one", b"", ["routing"]))
        for seed, defpacks, names in sets:
            put(out, "catalogue", seed, SEPARATOR.join([defpacks] + [data[n] for n in names]))

        # The unpacker: single packages and streams of several.
        for name, blob in data.items():
            put(out, "unpack", name, blob)
        put(out, "unpack", "stream", data["routing"] + data["firewall"] + data["webadmin"])
        put(out, "unpack", "twice", data["tree"] + data["tree"])

        # Floppy part files: small blocks and groups so that the files stay
        # small, sound and with damaged blocks.
        payload = os.path.join(tmp, "payload")
        with open(payload, "wb") as f:
            f.write(data["routing"] + data["firewall"])
        for seed, args in (("plain", []), ("one-parity", ["-d", "0:0:1"]),
                           ("parity-block", ["-d", "0:1:5"]), ("two-bad", ["-d", "0:0:1", "-d", "0:0:2"]),
                           ("two-parity", ["-p", "2", "-d", "0:0:5"])):
            folder = os.path.join(tmp, "floppy-" + seed)
            os.makedirs(folder)
            run(tools["brindlex-floppyset"], "-n", "-b", "64", "-g", "6", "-s", "0x12345678",
                "-c", "900", *args, payload, folder)
            for part in sorted(os.listdir(folder)):
                with open(os.path.join(folder, part), "rb") as f:
                    blob = f.read()
                put(out, "floppy_part", "%s-%s-fresh" % (seed, part), b"\x00" + blob)
                put(out, "floppy_part", "%s-%s-after" % (seed, part), b"\x01" + blob)
                put(out, "floppy_part", "%s-%s-sink" % (seed, part), b"\x06" + blob)

        # Geometry reports of disk images, as the partitioning tool prints
        # them.
        images = []
        for megabytes in (20, 400, 8700):
            image = os.path.join(tmp, "disk%d.img" % megabytes)
            with open(image, "wb") as f:
                f.truncate(megabytes * 1000 * 1000)
            images.append(image)
            put(out, "disk_report", "disk%d" % megabytes, run(tools["brindlex-sfdisk"], "-g", image))
        put(out, "disk_report", "three", run(tools["brindlex-sfdisk"], "-g", *images))

        # Partition tables as the installer writes them: one partition, or a
        # boot partition of 10 MiB and the rest, and "0,0,0" for every
        # further entry the old table had.
        for cylinders in (2, 48, 1023, 1100):
            boot = (CYLINDER_BYTES + 10485759) // CYLINDER_BYTES
            size = struct.pack("<HB", cylinders, 0)
            put(out, "partition_input", "one-%d" % cylinders,
                size + b"0,%d,83,*\n0,0,0\n0,0,0\n" % cylinders)
            put(out, "partition_input", "two-%d" % cylinders,
                size + b"0,%d,83,*\n%d,%d,83,*\n0,0,0\n" % (boot, boot, cylinders - boot))
    print("fuzz seeds: %s" % ", ".join(
        "%s %d" % (n, len(os.listdir(os.path.join(out, n)))) for n in sorted(os.listdir(out))))


main()
