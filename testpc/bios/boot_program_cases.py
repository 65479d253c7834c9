#!/usr/bin/python3
"""Boots the installer's boot program on the emulator's PC BIOS.

Each case builds a disk image in a temporary directory: the partition table
written by brindlex-sfdisk, sector 0 completed by the installer's boot
record writer, and in each partition's first sector a boot sector that
prints "CHAINED <label> SI=<si> DL=<dl> ENTRY=<16 bytes at SI>" and ends
the emulator (exit status 33). The BIOS repeats its teletype output on the
serial port, which the case reads.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HEADS = 255
SECTORS = 63
CYLINDER_BYTES = HEADS * SECTORS * 512
CHAINED_EXIT = 33  # the test boot sector writes 0x10 to the exit port
WAIT_SECONDS = 40

MISSING = "Missing operating system"
LOAD_ERROR = "Error loading operating system"
NO_BOOT_DEVICE = "No bootable device"


class Failure(Exception):
    pass


class Disk:
    """A disk image and what the case put on it."""

    def __init__(self, args, workdir, cylinders):
        self.args = args
        self.path = os.path.join(workdir, "d.img")
        self.workdir = workdir
        self.cylinders = cylinders
        with open(self.path, "wb") as image:
            image.truncate(cylinders * CYLINDER_BYTES)

    def partition(self, table):
        run = subprocess.run([self.args.sfdisk, "-q", "-uC", self.path], input=table.encode(),
                             capture_output=True)
        if run.returncode != 0:
            raise Failure("brindlex-sfdisk refused %r: %s" % (table, run.stderr.decode()))
        run = subprocess.run([self.args.install_boot_record, self.path], capture_output=True)
        if run.returncode != 0:
            raise Failure("boot record writer failed: %s" % run.stderr.decode())

    def sector0(self):
        with open(self.path, "rb") as image:
            return image.read(512)

    def entry(self, number):
        return self.sector0()[446 + 16 * (number - 1):446 + 16 * number]

    def start_sector(self, number):
        return int.from_bytes(self.entry(number)[8:12], "little")

    def put_chain_target(self, number, label, signature=True):
        with open(self.args.chain_target, "rb") as source:
            sector = bytearray(source.read())
        if len(sector) != 512 or sector[510:512] != b"\x55\xaa":
            raise Failure("the test boot sector is not a 512-byte boot sector")
        sector[400:400 + len(label) + 1] = label.encode() + b"\0"
        if not signature:
            sector[510:512] = b"\0\0"
        self.patch(self.start_sector(number) * 512, bytes(sector))

    def patch(self, offset, data):
        with open(self.path, "r+b") as image:
            image.seek(offset)
            image.write(data)

    def truncate(self, cylinders):
        self.cylinders = cylinders
        with open(self.path, "r+b") as image:
            image.truncate(cylinders * CYLINDER_BYTES)

    def boot(self, expect, failing_reads_of=None, failing_reads=0):
        """Boots until `expect` shows on the serial line or the emulator exits;
        returns (exit status or None, serial text)."""
        sercon = os.path.join(self.workdir, "sercon-port")
        with open(sercon, "wb") as port:
            port.write((0x3F8).to_bytes(2, "little"))
        serial = os.path.join(self.workdir, "serial.txt")
        drive = "if=none,id=hd0,format=raw,file=" + self.path
        if failing_reads:
            config = os.path.join(self.workdir, "blkdebug.cfg")
            with open(config, "w") as rules:
                for _ in range(failing_reads):
                    rules.write('[inject-error]\nevent = "read_aio"\nerrno = "5"\n'
                                'sector = "%d"\nonce = "on"\n\n' % failing_reads_of)
            drive = ("if=none,id=hd0,format=raw,file.driver=blkdebug,file.config=%s,"
                     "file.image.filename=%s" % (config, self.path))
        command = [
            self.args.qemu, "-accel", "tcg", "-m", "16", "-display", "none", "-no-reboot",
            "-nic", "none", "-drive", drive,
            "-device", "ide-hd,drive=hd0,bus=ide.0,lcyls=%d,lheads=%d,lsecs=%d"
            % (self.cylinders, HEADS, SECTORS),
            "-fw_cfg", "name=etc/sercon-port,file=" + sercon,
            "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04",
            "-serial", "file:" + serial,
        ]
        qemu = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + WAIT_SECONDS
        status = None
        try:
            while time.monotonic() < deadline:
                status = qemu.poll()
                if status is not None:
                    break
                if expect in read_text(serial):
                    time.sleep(1.0)  # anything printed after it shows up too
                    status = qemu.poll()
                    break
                time.sleep(0.1)
        finally:
            if qemu.poll() is None:
                qemu.kill()
            qemu.wait()
        return status, read_text(serial)


def read_text(path):
    try:
        with open(path, "rb") as serial:
            return serial.read().decode("latin-1")
    except FileNotFoundError:
        return ""


def after_boot_banner(text):
    """The serial text from the BIOS's "Booting from Hard Disk" on."""
    at = text.find("Booting from Hard Disk")
    if at < 0:
        raise Failure("the BIOS never booted the hard disk:\n" + text)
    return text[at:]


def expect_chained(disk, status, text, number, label):
    text = after_boot_banner(text)
    found = re.search(r"CHAINED (\S+) SI=([0-9a-f]{4}) DL=([0-9a-f]{2}) ENTRY=([0-9a-f]{32})",
                      text)
    if not found:
        raise Failure("the partition's boot sector did not run:\n" + text)
    if status != CHAINED_EXIT:
        raise Failure("emulator exit status %r, expected %d" % (status, CHAINED_EXIT))
    want = (label, "%04x" % (0x600 + 446 + 16 * (number - 1)), "80", disk.entry(number).hex())
    if found.groups() != want:
        raise Failure("boot sector reported %s, expected %s" % (found.groups(), want))
    for message in (MISSING, LOAD_ERROR):
        if message in text:
            raise Failure("unexpected %r:\n%s" % (message, text))


def expect_stop(text, message):
    """The boot program printed `message` and then stayed halted."""
    text = after_boot_banner(text)
    rest = text[len("Booting from Hard Disk..."):].lstrip("\r\n")
    if rest != message:
        raise Failure("expected only %r after the boot banner, got %r" % (message, rest))


def boots_active_first_partition(disk):
    disk.partition("0,4,83,*\n")
    disk.put_chain_target(1, "P1")
    status, text = disk.boot("CHAINED")
    expect_chained(disk, status, text, 1, "P1")


def boots_active_second_partition(disk):
    disk.partition("0,2,83\n2,2,83,*\n")
    disk.put_chain_target(1, "P1")
    disk.put_chain_target(2, "P2")
    status, text = disk.boot("CHAINED")
    expect_chained(disk, status, text, 2, "P2")


def boots_first_of_two_active(disk):
    # The installer's two-partition layout marks both partitions bootable.
    disk.partition("0,2,83,*\n2,2,83,*\n")
    disk.put_chain_target(1, "P1")
    disk.put_chain_target(2, "P2")
    status, text = disk.boot("CHAINED")
    expect_chained(disk, status, text, 1, "P1")


def retries_failed_reads(disk):
    # Four failed reads of the partition's first sector: the fifth try loads it.
    disk.partition("0,4,83,*\n")
    disk.put_chain_target(1, "P1")
    status, text = disk.boot("CHAINED", failing_reads_of=disk.start_sector(1), failing_reads=4)
    expect_chained(disk, status, text, 1, "P1")


def unreadable_start_sector(disk):
    # Five failed reads: the boot program gives up.
    disk.partition("0,4,83,*\n")
    disk.put_chain_target(1, "P1")
    status, text = disk.boot(LOAD_ERROR, failing_reads_of=disk.start_sector(1), failing_reads=5)
    expect_stop(text, LOAD_ERROR)
    # A start beyond the end of the disk as the BIOS sees it: the table is
    # made on a large disk, which then shrinks to 4 cylinders.
    disk.truncate(1174)
    disk.partition("0,2,83\n1000,10,83,*\n")
    disk.truncate(4)
    status, text = disk.boot(LOAD_ERROR)
    expect_stop(text, LOAD_ERROR)


def no_active_partition_returns_to_bios(disk):
    disk.partition("0,2,83\n2,2,83\n")
    disk.put_chain_target(1, "P1")
    disk.put_chain_target(2, "P2")
    status, text = disk.boot(NO_BOOT_DEVICE)
    text = after_boot_banner(text)
    if NO_BOOT_DEVICE not in text:
        raise Failure("the BIOS did not take over again:\n" + text)
    for message in ("CHAINED", MISSING, LOAD_ERROR):
        if message in text:
            raise Failure("unexpected %r:\n%s" % (message, text))


def bad_boot_flag(disk):
    # A flag that is neither 0 nor 0x80 before the active entry stops the scan.
    disk.partition("0,2,83\n2,2,83,*\n")
    disk.put_chain_target(1, "P1")
    disk.put_chain_target(2, "P2")
    disk.patch(446, b"\x01")
    status, text = disk.boot(MISSING)
    expect_stop(text, MISSING)


def loaded_sector_without_signature(disk):
    disk.partition("0,4,83,*\n")
    disk.put_chain_target(1, "P1", signature=False)
    status, text = disk.boot(MISSING)
    expect_stop(text, MISSING)


CASES = {case.__name__: case for case in (
    boots_active_first_partition, boots_active_second_partition, boots_first_of_two_active,
    retries_failed_reads, unreadable_start_sector, no_active_partition_returns_to_bios,
    bad_boot_flag, loaded_sector_without_signature)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--qemu", required=True)
    parser.add_argument("--sfdisk", required=True)
    parser.add_argument("--install-boot-record", required=True)
    parser.add_argument("--chain-target", required=True)
    args = parser.parse_args()
    workdir = tempfile.mkdtemp(prefix="bios-", dir="/tmp")
    try:
        CASES[args.case](Disk(args, workdir, 4))
    except Failure as failure:
        print("FAIL %s: %s" % (args.case, failure))
        return 1
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print("PASS %s" % args.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
