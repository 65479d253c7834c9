"""Test PC: the floppy-set installation meets every kind of bad floppy.

One boot with no /TYPE and a blank 400 MB IDE disk. The operator answers n
to keeping the configuration and y to erasing, then, when the 2nd
installation floppy is asked for, offers in turn:

  the set's 3rd floppy           "Wrong floppy!"
  no floppy at all               "ERROR: No floppy, or bad floppy"
  the right floppy with two bad  bad floppy (the first floppy read: taken
    blocks in one group            whatever its set, refused for the damage)
  a floppy of another set        bad floppy (its header becomes the reference)
  the right floppy with one      refused once for the other set's reference,
    bad block in three groups      then repaired: "Recovering bad block #N"
                                   on the log terminal (the second serial port)

The payload of the set is one package holding a file of random bytes: after
the installation has gone on with the 3rd and 4th floppies to "Software
installed." and the restart, the file on the disk must be whole and the
unpacker must have found nothing wrong. So the floppies refused as bad never
reached the unpacker, and the repaired part reached it once, intact.

Run by ctest with BRINDLEX_BOOTSYS_DIR (the boot system) and
BRINDLEX_HOST_DIR (the host build with bin/brindlex-floppyset and
bin/brindlex-pkg) set.
"""

import os
import random
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

# The test PC: QEMU with the boot system, one IDE disk and a floppy drive (a
# floppy in it from the start). Its first serial port is the console, driven
# through QEMU's standard input and output; the second is the log terminal
# (/dev/tty9 of the boot system), recorded to a file. Floppies are changed
# through the QEMU monitor on a socket.
class CheckFailed(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise CheckFailed(what)


class TestPC:
    def __init__(self, bootsys, disk, tmp, floppy, kernel_words=(), memory=256):
        self.monitor_path = os.path.join(tmp, "monitor.sock")
        self.log_path = os.path.join(tmp, "log_terminal.txt")
        words = ["console=ttyS0", "loglevel=1", "panic=-1", "brindlex.ide=1"] + list(kernel_words)
        command = ["qemu-system-i386", "-m", str(memory), "-display", "none", "-no-reboot",
                   "-kernel", os.path.join(bootsys, "vmlinuz"),
                   "-initrd", os.path.join(bootsys, "initrd.gz"),
                   "-append", " ".join(words),
                   "-serial", "stdio", "-serial", "file:" + self.log_path,
                   "-monitor", "unix:%s,server,nowait" % self.monitor_path,
                   "-drive", "file=%s,format=raw,if=ide,index=0" % disk,
                   "-drive", "file=%s,format=raw,if=floppy,index=0,id=fd0" % floppy]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        self.output = bytearray()
        self.position = 0  # how far expect has read
        self.lock = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.monitor = None

    def _read(self):
        while True:
            data = os.read(self.process.stdout.fileno(), 4096)
            with self.lock:
                if not data:
                    self.lock.notify_all()
                    return
                self.output += data
                self.lock.notify_all()

    def console(self):
        with self.lock:
            return self.output.decode("latin-1").replace("\r\n", "\n")

    def log_terminal(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("latin-1").replace("\r\n", "\n")
        except OSError:
            return ""

    def expect(self, text, timeout=60):
        """Waits until text appears after what the last expect matched."""
        wanted = text.replace("\n", "\r\n").encode("latin-1")
        deadline = time.time() + timeout
        with self.lock:
            while True:
                found = self.output.find(wanted, self.position)
                if found < 0:
                    # Text printed without a terminal's newline translation.
                    found = self.output.find(text.encode("latin-1"), self.position)
                    length = len(text)
                else:
                    length = len(wanted)
                if found >= 0:
                    self.position = found + length
                    return
                left = deadline - time.time()
                if left <= 0 or self.process.poll() is not None and not self.reader.is_alive():
                    raise CheckFailed("no %r on the console" % text)
                self.lock.wait(min(left, 1.0))

    def send(self, keys):
        self.process.stdin.write(keys.encode("latin-1"))
        self.process.stdin.flush()

    def _monitor(self, command):
        if self.monitor is None:
            for _ in range(50):
                try:
                    self.monitor = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                    self.monitor.connect(self.monitor_path)
                    break
                except OSError:
                    self.monitor = None
                    time.sleep(0.1)
            expect(self.monitor is not None, "no QEMU monitor")
        self.monitor.sendall((command + "\n").encode())
        time.sleep(0.5)
        self.monitor.setblocking(False)
        try:
            while self.monitor.recv(4096):
                pass
        except BlockingIOError:
            pass
        self.monitor.setblocking(True)

    def insert(self, image):
        self._monitor("change fd0 %s raw" % image)

    def eject(self):
        self._monitor("eject -f fd0")

    def wait_power_off(self, timeout=120):
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise CheckFailed("the test PC did not restart within %d s" % timeout)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.monitor is not None:
            self.monitor.close()


def read_installed(image, path):
    """The file at path on the first partition of image, read without
    mounting."""
    with open(image, "rb") as f:
        mbr = f.read(512)
    start = struct.unpack("<I", mbr[446 + 8:446 + 12])[0]
    location = "%s?offset=%d" % (image, start * 512)
    return subprocess.run(["debugfs", "-R", "cat " + path, location],
                          capture_output=True).stdout


def make_set(floppyset, out, payload, set_id, damage=()):
    os.makedirs(out)
    args = [floppyset, "--set-id", str(set_id)]
    for d in damage:
        args += ["--damage", d]
    subprocess.run(args + [payload, out], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return lambda part: os.path.join(out, "brindlex.n%02d.img" % part)


def main():
    bootsys = os.environ["BRINDLEX_BOOTSYS_DIR"]
    floppyset = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "bin", "brindlex-floppyset")
    builder = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "bin", "brindlex-pkg")
    for needed in (os.path.join(bootsys, "initrd.gz"), floppyset, builder):
        expect(os.path.exists(needed), needed + " is missing")
    with tempfile.TemporaryDirectory() as tmp:
        # One package whose payload spans three floppies.
        content = random.Random(5).randbytes(2 * 1391280 + 800)
        tree = os.path.join(tmp, "tree")
        os.makedirs(os.path.join(tree, "var", "data"))
        with open(os.path.join(tree, "var", "data", "random.bin"), "wb") as f:
            f.write(content)
        payload = os.path.join(tmp, "payload")
        subprocess.run([builder, "build", "--name", "randomdata", "--output", payload, tree],
                       check=True, stdout=subprocess.DEVNULL)
        good = make_set(floppyset, os.path.join(tmp, "good"), payload, 1001,
                        ["0:0:3", "0:7:0", "0:20:30"])
        broken = make_set(floppyset, os.path.join(tmp, "broken"), payload, 1001,
                          ["0:5:1", "0:5:2"])
        other = make_set(floppyset, os.path.join(tmp, "other"), payload, 2002)
        disk = os.path.join(tmp, "hda.img")
        with open(disk, "wb") as f:
            f.truncate(400 * 1000 * 1000)

        pc = TestPC(bootsys, disk, tmp, good(1))
        try:
            pc.expect("Welcome to Brindlex Router Software floppy installation")
            pc.expect("Found harddrive as IDE Primary master (disk C)")
            pc.expect("Do you want to keep old configuration?  [y/n]:")
            pc.send("n")
            pc.expect("Warning: all data on the disk will be erased!")
            pc.expect("Continue? [y/n]:")
            pc.send("y")
            pc.expect("Formatting disk...", timeout=120)

            pc.expect("Please insert 2nd installation floppy.\n", timeout=300)
            pc.expect("Press ENTER when ready")
            pc.insert(good(1))
            pc.send("\r")
            pc.expect("Wrong floppy!\n")
            pc.expect("Please insert 2nd installation floppy.")

            pc.eject()
            pc.send("\r")
            pc.expect("ERROR: No floppy, or bad floppy\n", timeout=300)
            pc.expect("Please insert 2nd installation floppy.")

            for image in (broken(0), other(0), good(0)):
                pc.insert(image)
                pc.send("\r")
                pc.expect("ERROR: bad floppy, please replace it.\n", timeout=120)
                pc.expect("Please insert 2nd installation floppy.")

            pc.insert(good(0))
            pc.send("\r")
            pc.expect("Installing part 1 of 3...\n", timeout=120)
            for ordinal, part in (("3rd", 1), ("4th", 2)):
                pc.expect("Please insert %s installation floppy." % ordinal, timeout=120)
                pc.insert(good(part))
                pc.send("\r")
                pc.expect("Installing part %d of 3...\n" % (part + 1), timeout=120)
            pc.expect("Software installed.\n", timeout=300)
            pc.expect("Remove boot floppy\n")
            pc.expect("Press ENTER to reboot")
            pc.send("\r")
            pc.expect("Rebooting...")
            pc.wait_power_off()

            console = pc.console()
            expect(console.count("Installing part 1 of 3...") == 2,
                      "the damaged and the repaired floppy show their part line")
            expect(console.count("ERROR: bad floppy, please replace it.") == 3,
                      "three bad floppies")
            expect(console.count("Please insert 2nd installation floppy.") == 6,
                   "the 2nd floppy asked for once and again after each bad one")
            expect("brindlex-unpack" not in console, "the unpacker found something wrong")
            expect(read_installed(disk, "/var/data/random.bin") == content,
                   "the installed file differs from the package's")
            log = pc.log_terminal()
            repairs = [l for l in log.splitlines() if l.startswith("Recovering bad block #")]
            expect(repairs == ["Recovering bad block #3", "Recovering bad block #0",
                                  "Recovering bad block #30"],
                      "repair lines on the log terminal: %r" % repairs)
        except CheckFailed:
            sys.stderr.write(pc.console())
            sys.stderr.write("\n--- log terminal ---\n" + pc.log_terminal())
            raise
        finally:
            pc.close()
    print("floppy_set_faults: ok")


if __name__ == "__main__":
    main()
