"""One emulated i386 PC: what it is made of (PCConfig), the emulator run
with its console, log terminal and monitor (TestPC), and the verdict of a
scenario (run_scenario)."""

import atexit
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

from .base import ENTER, Crashed, TestPCError, Timeout, bootsys_dir, drive_path
from .channel import Channel
from .faults import FaultyDrive, drive_id
from .segment import Segment, claim_segment_port, nic_options, release_segment_port, segment_ports

IDE_POSITIONS = ("hda", "hdb", "hdc", "hdd")
DEFAULT_MEMORY_MB = 96
KERNEL_OPTIONS = "console=ttyS0,115200 quiet loglevel=0 panic=0"
# How the PC starts: None = the emulator loads the boot system's kernel and
# initial RAM disk itself (with the kernel command line built here);
# "cdrom" / "disk" = the PC's BIOS boots from the CD-ROM drive / the first
# hard disk, like a real PC, and the medium brings its own boot loader and
# kernel command line; "network" = the BIOS boots the first network card's
# iPXE ROM, which loads its boot loader from the segment's DHCP and TFTP
# server (the installation server with --netboot).
BOOT_DEVICES = (None, "cdrom", "disk", "network")


class PCConfig:
    """What a test PC is made of: its media, /TYPE and init's arguments."""

    def __init__(self, type_text=None, init_args=(), disks=(), floppy=None, cdrom=None,
                 serial_only=False, init=None, memory_mb=DEFAULT_MEMORY_MB, bootsys=None,
                 cdrom_position="hdc", insmod_hold=None, broken_unpacker=False, boot_from=None,
                 nics=(), floppy_drive=True):
        if boot_from not in BOOT_DEVICES:
            raise TestPCError("boot_from must be one of %r" % (BOOT_DEVICES,))
        self.boot_from = boot_from
        # Network cards: (model, MAC) unconnected, or (model, MAC, segment)
        # with a Segment or the folder of a relay started by hand
        # ("brindlex-relay --segment DIR N"); each takes a port of it.
        self.nics = []
        for nic in nics:
            model, mac = nic[0], nic[1]
            segment = nic[2] if len(nic) > 2 else None
            if isinstance(segment, Segment):
                folder, port = segment.folder, segment.take_port()
            elif segment is not None:
                folder = segment
                port = claim_segment_port(folder, segment_ports(folder))
            else:
                folder, port = None, None
            self.nics.append((model, mac, folder, port))
        self.insmod_hold = insmod_hold
        self.broken_unpacker = broken_unpacker
        self.type_text = type_text
        self.init_args = list(init_args)
        if floppy and not floppy_drive:
            raise TestPCError("a floppy needs a floppy drive")
        self.floppy = floppy
        # False: the PC has a floppy controller but no drive on it.
        self.floppy_drive = floppy_drive
        self.cdrom = cdrom
        self.serial_only = serial_only
        self.init = init
        self.memory_mb = memory_mb
        # Booting from a medium needs no boot system of the emulator's own.
        self.bootsys = bootsys or (bootsys_dir() if boot_from is None else None)
        self.ide = {}  # position -> ("disk"|"cdrom", path or None)
        if cdrom is not None:
            self.ide[cdrom_position] = ("cdrom", cdrom or None)
        if isinstance(disks, dict):
            for pos, path in disks.items():
                if pos not in IDE_POSITIONS or pos in self.ide:
                    raise TestPCError("bad or taken IDE position %r" % pos)
                self.ide[pos] = ("disk", path)
        else:
            free = [p for p in IDE_POSITIONS if p not in self.ide]
            if len(disks) > len(free):
                raise TestPCError("too many disks")
            for pos, path in zip(free, disks):
                self.ide[pos] = ("disk", path)

    def kernel_command_line(self):
        words = [KERNEL_OPTIONS]
        if self.type_text is not None:
            words.append("brindlex.type=" + _encode(self.type_text))
        for arg in self.init_args:
            words.append("brindlex.arg=" + _encode(arg))
        if self.init:
            words.append("brindlex.init=" + self.init)
        if self.serial_only:
            words.append("brindlex.serial_only=1")
        if self.insmod_hold:
            words.append("brindlex.insmod_hold=" + self.insmod_hold)
        if self.broken_unpacker:
            words.append("brindlex.unpacker=quit")
        words.append("brindlex.ide=%d" % len(self.ide))
        return " ".join(words)

    def qemu_command(self, console, log, monitor, sercon_port=None):
        """The emulator's command line; console, log and monitor are the
        -chardev option texts (without id) of the three channels;
        sercon_port is the file that makes the BIOS repeat its screen on
        the serial console (needed when booting from the disk)."""
        for f in ("vmlinuz", "initrd.gz") if self.boot_from is None else ():
            if not os.path.isfile(os.path.join(self.bootsys, f)):
                raise TestPCError("boot system incomplete: %s missing in %s (run make bootsys)"
                                  % (f, self.bootsys))
        cmd = ["qemu-system-i386", "-accel", "tcg", "-m", str(self.memory_mb),
               "-nodefaults", "-display", "none", "-no-reboot",
               "-action", "panic=exit-failure", "-device", "pvpanic-pci",
               # Tells a power-off from a restart: the emulator ends with
               # status 0 for both, but only a power-off is a shutdown
               # request ("reason=6": the guest's own) on its error output.
               "-trace", "qemu_system_shutdown_request"]
        if self.boot_from is None:
            cmd += ["-kernel", os.path.join(self.bootsys, "vmlinuz"),
                    "-initrd", os.path.join(self.bootsys, "initrd.gz"),
                    "-append", self.kernel_command_line()]
        else:
            cmd += ["-boot", "order=" + {"cdrom": "d", "disk": "c", "network": "n"}[self.boot_from]]
        if self.boot_from == "network" and not self.nics:
            raise TestPCError("booting from the network needs a network card")
        if self.boot_from in ("disk", "network"):
            # The BIOS's own messages and those of the boot programs that
            # print through it (the master boot record's, the partition's
            # boot loader) then show on the serial console too.
            if sercon_port is None:
                raise TestPCError("booting from the disk or the network needs the sercon port "
                                  "file")
            cmd += ["-fw_cfg", "name=etc/sercon-port,file=" + sercon_port]
        cmd += ["-chardev", console + ",id=console", "-serial", "chardev:console",
               "-chardev", log + ",id=log", "-serial", "chardev:log",
               "-chardev", monitor + ",id=monitor", "-mon", "chardev=monitor,mode=readline"]
        for pos, (kind, path) in sorted(self.ide.items()):
            index = IDE_POSITIONS.index(pos)
            drive = "if=ide,index=%d,media=%s,id=%s" % (index, kind, drive_id(pos))
            if isinstance(path, FaultyDrive):
                drive += path.drive_options()
            elif path:
                drive += ",format=raw,file=" + drive_path(path)
            cmd += ["-drive", drive]
        for index, (model, mac, folder, port) in enumerate(self.nics):
            # Booting from the network: the first card only has a boot ROM.
            boot_rom = None if self.boot_from != "network" else index == 0
            cmd += nic_options(index, model, mac, folder, port, boot_rom)
        if self.floppy_drive:
            drive = "if=floppy,index=0"
            if self.floppy:
                drive += ",format=raw,file=" + drive_path(self.floppy)
            cmd += ["-drive", drive]
        return cmd


def write_sercon_port(folder):
    """Writes the file that tells the BIOS to repeat its screen on the first
    serial port (the console) into folder; returns its path."""
    path = os.path.join(folder, "sercon-port")
    with open(path, "wb") as port:
        port.write((0x3F8).to_bytes(2, "little"))
    return path



def _encode(text):
    return urllib.parse.quote(text, safe="")



# Every started PC not yet closed: a scenario that fails before its `with`
# block (or without one) must not leave its emulator running.
_running = set()


@atexit.register
def _close_running():
    for pc in list(_running):
        pc.close()


class TestPC:
    """One emulated PC. Use as a context manager: on an exception the
    console transcript and the log terminal are printed to stderr, and the
    emulator is always stopped.

        with TestPC("cdrom", type_text="cdrom\\n") as pc:
            pc.start()
            pc.expect("Press ENTER to reboot")
            pc.send(ENTER)
            pc.wait_restart()
    """

    def __init__(self, name, type_text=None, init_args=(), disks=(), floppy=None, cdrom=None,
                 serial_only=False, init=None, memory_mb=DEFAULT_MEMORY_MB, bootsys=None,
                 cdrom_position="hdc", insmod_hold=None, broken_unpacker=False, boot_from=None,
                 nics=(), floppy_drive=True):
        self.name = name
        self.config = PCConfig(type_text, init_args, disks, floppy, cdrom, serial_only, init,
                               memory_mb, bootsys, cdrom_position, insmod_hold,
                               broken_unpacker, boot_from, nics, floppy_drive)
        self.console = Channel("console")
        self.log_channel = Channel("log")
        self.monitor_channel = Channel("monitor")
        self.process = None
        self.verdict = None  # "restarted", "crashed" or None while running
        self.workdir = None
        self.started_at = None

    # -- life cycle -------------------------------------------------------

    def start(self):
        """Boots the PC; returns once the emulator is connected."""
        self.workdir = tempfile.mkdtemp(prefix="testpc-%s-" % self.name)
        listeners = {}
        for ch in (self.console, self.log_channel, self.monitor_channel):
            path = os.path.join(self.workdir, ch.name + ".sock")
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.bind(path)
            s.listen(1)
            s.settimeout(0.2)
            listeners[ch.name] = (s, path)
        cmd = self.config.qemu_command("socket,path=" + listeners["console"][1],
                                       "socket,path=" + listeners["log"][1],
                                       "socket,path=" + listeners["monitor"][1],
                                       write_sercon_port(self.workdir))
        self.stderr_file = open(os.path.join(self.workdir, "qemu.stderr"), "w+")
        self.process = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=self.stderr_file,
                                        stderr=self.stderr_file)
        _running.add(self)
        self.started_at = time.monotonic()
        deadline = time.monotonic() + 30
        for ch in (self.console, self.log_channel, self.monitor_channel):
            s = listeners[ch.name][0]
            while True:
                try:
                    conn, _ = s.accept()
                    break
                except socket.timeout:
                    if self.process.poll() is not None or time.monotonic() > deadline:
                        raise TestPCError("the emulator did not start: " + self._qemu_stderr())
            conn.settimeout(None)
            ch.attach(conn)
            s.close()
        return self

    def close(self):
        """Stops the emulator (if still running) and removes its files."""
        _running.discard(self)
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for ch in (self.console, self.log_channel, self.monitor_channel):
            if ch.sock:
                ch.sock.close()
        if self.workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)
            self.workdir = None
        for _, _, folder, port in self.config.nics:
            if folder is not None:
                release_segment_port(folder, port)

    def __enter__(self):
        return self

    def __exit__(self, kind, value, tb):
        if kind is not None:
            self.report(str(value))
        self.close()
        return False

    # -- the operator on the serial console -------------------------------

    def expect(self, text, timeout=30):
        """Waits for text on the console after the previous match; returns
        what came in between. CR LF on the console counts as LF, so "\n" in
        text matches a line end. Raises Timeout (or Crashed)."""
        return self.expect_any([text], timeout)[1]

    def expect_any(self, texts, timeout=30):
        """Waits for the first of texts; returns (index, text before it)."""
        i, before = self.console.expect(texts, timeout)
        if i is None:
            self._fail_waiting("console", texts, timeout)
        return i, before

    def expect_log(self, text, timeout=30):
        """Like expect, on the log terminal (/dev/tty9, the second serial port)."""
        i, before = self.log_channel.expect([text], timeout)
        if i is None:
            self._fail_waiting("log terminal", [text], timeout)
        return before

    def boot_entry(self, entry="serial", timeout=60):
        """At the boot prompt of a medium the BIOS booted (boot_from "cdrom"
        or "disk"), types the name of a boot entry and ENTER; "serial"
        starts the installer on this serial console.

        The keys go one at a time, as an operator types them: when the BIOS
        shows its screen on this serial line too, it reads the line beside
        the boot loader, and keys that arrive together may reach the loader
        out of order (a loaded host makes that likely). An entry the loader
        could not load is typed again."""
        self.expect("boot: ", timeout)
        for _ in range(3):
            self.send_keys(entry + ENTER, 0.1)
            # The loader says at once when it could not load the entry.
            failed, _ = self.console.expect([" failed: "], 2)
            if failed is None:
                return
            self.expect("boot: ", 30)
        raise TestPCError("%s: the boot loader never took the entry %r" % (self.name, entry))

    def send(self, text):
        """Types text on the serial console (str as latin-1, or bytes)."""
        data = text.encode("latin-1") if isinstance(text, str) else bytes(text)
        self.console.sock.sendall(data)

    def send_keys(self, text, delay=0.05):
        """Types text one key at a time, as an operator does."""
        for ch in text:
            self.send(ch)
            time.sleep(delay)

    def quiet(self, seconds=1.0):
        """Waits until the console has been silent for seconds; returns the
        text that came meanwhile (the cursor does not move)."""
        return self.console.wait_quiet(seconds)

    def rest(self):
        """Console text after the last match (moves the cursor to the end)."""
        return self.console.rest()

    def console_text(self):
        """The console so far with CR LF read as LF."""
        with self.console.cond:
            return self.console.normal().decode("latin-1")

    @property
    def transcript(self):
        """Everything the console has shown so far (echoed keys included)."""
        return self.console.text()

    @property
    def log(self):
        """Everything written to the log terminal so far."""
        return self.log_channel.text()

    def insmod_requests(self):
        """The module names the boot system's /sbin/insmod was asked for, in order."""
        return [line.split()[1] for line in self.log.replace("\r", "").split("\n")
                if line.startswith("testpc-insmod ") and len(line.split()) >= 2]

    # -- the emulator ------------------------------------------------------

    def monitor(self, command, timeout=10):
        """Runs a monitor command (e.g. "change floppy0 FILE",
        "eject -f floppy0", "sendkey ctrl-alt-delete"); returns its output."""
        if self.monitor_channel.cursor == 0:
            if self.monitor_channel.expect(["(qemu) "], timeout)[0] is None:
                raise TestPCError("the monitor does not answer")
        self.monitor_channel.sock.sendall(command.encode() + b"\n")
        i, before = self.monitor_channel.expect(["(qemu) "], timeout)
        if i is None:
            raise TestPCError("monitor command %r got no answer" % command)
        # The monitor echoes the command line first.
        lines = before.replace("\r", "").split("\n")
        return "\n".join(lines[1:]).strip("\n")

    def change_floppy(self, image):
        """Puts another floppy into drive A (None: takes it out)."""
        if image is None:
            return self.monitor("eject -f floppy0")
        return self.monitor("change floppy0 " + drive_path(image) + " raw")

    def wait_end(self, timeout=60):
        """Waits for the machine to end: returns "restarted" or "crashed",
        or None when it is still running after timeout."""
        if self.verdict:
            return self.verdict
        try:
            rc = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        self.verdict = "restarted" if rc == 0 else "crashed"
        # Let the reader threads take the last bytes.
        time.sleep(0.1)
        return self.verdict

    def powered_off(self):
        """True when the machine ended by powering itself off (what the
        installed sample system does), False when it restarted or is
        still running. Both end the emulator with the verdict "restarted"."""
        if self.verdict != "restarted":
            return False
        return "qemu_system_shutdown_request reason=6" in self._qemu_stderr()

    def wait_restart(self, timeout=60):
        """Waits for the restart; raises Crashed or Timeout otherwise."""
        verdict = self.wait_end(timeout)
        if verdict == "restarted":
            return
        if verdict == "crashed":
            raise Crashed("%s: the machine crashed (kernel panic, e.g. init ended) instead of "
                          "restarting" % self.name)
        raise Timeout("%s: no restart within %s s" % (self.name, timeout))

    def elapsed(self):
        return time.monotonic() - self.started_at if self.started_at else 0.0

    # -- reports -------------------------------------------------------------

    def _fail_waiting(self, where, texts, timeout):
        if self.wait_end(0.2) == "crashed":
            raise Crashed("%s: the machine crashed while waiting on the %s for %r"
                          % (self.name, where, texts))
        if self.verdict == "restarted":
            raise TestPCError("%s: the machine restarted while waiting on the %s for %r"
                              % (self.name, where, texts))
        raise Timeout("%s: %r did not appear on the %s within %s s" % (self.name, texts, where,
                                                                        timeout))

    def _qemu_stderr(self):
        try:
            self.stderr_file.seek(0)
            return self.stderr_file.read()
        except (OSError, ValueError, AttributeError):
            return ""

    def report(self, why=""):
        """Prints the console transcript and the log terminal to stderr."""
        out = sys.stderr
        out.write("=== test PC %s failed: %s\n" % (self.name, why))
        if self.config.boot_from is None:
            out.write("--- kernel command line: %s\n" % self.config.kernel_command_line())
        else:
            out.write("--- booted by the BIOS from the %s\n" % self.config.boot_from)
        out.write("--- console transcript (repr per line) ---\n")
        for line in self.transcript.split("\n"):
            out.write(repr(line) + "\n")
        out.write("--- log terminal ---\n")
        for line in self.log.split("\n"):
            out.write(repr(line) + "\n")


def run_side_by_side(*steps):
    """Runs the scenario steps (functions without arguments, each with its
    own PCs) at the same time, one thread each, and returns their results
    in order; the first step that raised raises here once all have ended.
    A scenario that uses it declares "PROCESSORS = N" (the steps' PCs at
    once) so that ctest keeps that many cores for it."""
    import threading
    results = [None] * len(steps)
    failures = [None] * len(steps)

    def run(i):
        try:
            results[i] = steps[i]()
        except BaseException as failure:  # noqa: BLE001 - handed to the caller
            failures[i] = failure

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(steps))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for failure in failures:
        if failure is not None:
            raise failure
    return results


def run_scenario(main):
    """Runs a scenario function and turns its outcome into the exit status:
    0 when it returned, 1 when it raised (the traceback is printed)."""
    import traceback
    try:
        main()
    except Exception as failure:  # noqa: BLE001 - every failure must fail the test
        # A PC that failed before its `with` block began (in a boot helper)
        # has not been reported: its transcript tells why.
        for pc in list(_running):
            pc.report(str(failure))
            pc.close()
        traceback.print_exc()
        sys.exit(1)
    print("PASS")
