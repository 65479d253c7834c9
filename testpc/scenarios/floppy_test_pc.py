"""The test PC for the floppy scenarios: QEMU with the boot system, one IDE
disk and a floppy drive (a floppy in it from the start). Its first serial port is the console, driven by
the scenario through QEMU's standard input and output; the second is the
log terminal (/dev/tty9 of the boot system), recorded to a file. Floppies
are changed through the QEMU monitor on a socket."""

import os
import socket
import subprocess
import threading
import time


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
