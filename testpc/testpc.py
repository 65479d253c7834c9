"""The test PC: an emulated i386 PC on which the installer boots as init.

A scenario builds a TestPC, starts it, plays the operator on the serial
console (expect / send), changes media through the emulator's monitor and
waits for the verdict: the machine restarted, crashed, or hung. See
testpc/README.md for the whole interface and an example.

Python 3 standard library only.
"""

import atexit
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

ENTER = "\r"  # what a serial terminal sends for the ENTER key
CTRL_C = "\x03"
BELL = "\x07"

IDE_POSITIONS = ("hda", "hdb", "hdc", "hdd")
DEFAULT_MEMORY_MB = 96
KERNEL_OPTIONS = "console=ttyS0,115200 quiet loglevel=0 panic=0"
# How the PC starts: None = the emulator loads the boot system's kernel and
# initial RAM disk itself (with the kernel command line built here);
# "cdrom" / "disk" = the PC's BIOS boots from the CD-ROM drive / the first
# hard disk, like a real PC, and the medium brings its own boot loader and
# kernel command line.
BOOT_DEVICES = (None, "cdrom", "disk")
# The network cards the test PC can have (QEMU device models) and the
# drivers of the installer's module list that serve them. rtl8139 is an
# 8139C+ chip that 8139too refuses, so a PC with only that card has no
# interface the installer can use.
NIC_MODELS = {"e1000": "e1000", "ne2k_pci": "ne2k-pci", "pcnet": "pcnet32",
              "i82557b": "e100", "rtl8139": None}


class TestPCError(AssertionError):
    """A scenario step failed; the message says which."""


class Timeout(TestPCError):
    """The expected text or end did not come in time."""


class Crashed(TestPCError):
    """The machine ended in a kernel panic (for instance init exited)."""


def bootsys_dir():
    """The boot system's folder from BRINDLEX_BOOTSYS_DIR (fails if unset)."""
    path = os.environ.get("BRINDLEX_BOOTSYS_DIR")
    if not path:
        raise TestPCError("BRINDLEX_BOOTSYS_DIR is not set")
    return path


def make_disk_image(path, size_mb):
    """Creates a sparse raw IDE disk image of size_mb MiB."""
    with open(path, "wb") as f:
        f.truncate(size_mb * 1024 * 1024)
    return path


def is_blank(path):
    """True when the image holds nothing but zero bytes."""
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                return True
            if block.count(0) != len(block):
                return False


def make_fat_floppy(path, files=None, size_kb=1440, label=None):
    """Creates a FAT floppy image holding files ({name: bytes or str}).

    Names may contain '/' for subfolders."""
    with open(path, "wb") as f:
        f.truncate(size_kb * 1024)
    cmd = ["mkfs.vfat"]
    if label:
        cmd += ["-n", label]
    subprocess.run(cmd + [path], check=True, stdout=subprocess.DEVNULL)
    _copy_into_fat(path, files or {})
    return path


def make_fat_disk_image(path, size_mb, files=None):
    """Creates a disk image that is one whole-disk FAT volume (no partition
    table), as the installer mounts /dev/hdX directly."""
    make_disk_image(path, size_mb)
    subprocess.run(["mkfs.vfat", "-I", path], check=True, stdout=subprocess.DEVNULL)
    _copy_into_fat(path, files or {})
    return path


def _copy_into_fat(image, files):
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    made = set()
    with tempfile.TemporaryDirectory() as tmp:
        for name, data in files.items():
            parts = name.strip("/").split("/")
            for i in range(1, len(parts)):
                folder = "/".join(parts[:i])
                if folder not in made:
                    subprocess.run(["mmd", "-i", image, "::" + folder], check=True, env=env)
                    made.add(folder)
            local = os.path.join(tmp, "f")
            with open(local, "wb") as f:
                f.write(data.encode("latin-1") if isinstance(data, str) else data)
            subprocess.run(["mcopy", "-o", "-i", image, local, "::" + "/".join(parts)],
                           check=True, env=env)


def make_cd_image(path, folder):
    """Creates an ISO 9660 image of the contents of folder."""
    subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-R", "-J", "-o", path, folder],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return path


def host_dir():
    """The host build (brindlex-relay, brindlex-netpeer): BRINDLEX_HOST_DIR,
    else build/host of the source tree."""
    return os.environ.get("BRINDLEX_HOST_DIR") or os.path.join(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "host")


def claim_segment_port(folder, ports):
    """Claims the first free port of the segment relay serving folder (a
    file pc-N.claim made exclusively); returns N."""
    for n in range(ports):
        try:
            fd = os.open(os.path.join(folder, "pc-%d.claim" % n), os.O_CREAT | os.O_EXCL)
        except FileExistsError:
            continue
        os.close(fd)
        return n
    raise TestPCError("all %d ports of the segment in %s are taken" % (ports, folder))


def release_segment_port(folder, n):
    try:
        os.unlink(os.path.join(folder, "pc-%d.claim" % n))
    except FileNotFoundError:
        pass


def nic_options(index, model, mac, folder=None, port=None):
    """The emulator options of network card index: MODEL with MAC, joined to
    port of the segment relay in folder (unconnected without one)."""
    if model not in NIC_MODELS:
        raise TestPCError("unknown network card model %r (one of %s)"
                          % (model, ", ".join(sorted(NIC_MODELS))))
    if len(mac.split(":")) != 6:
        raise TestPCError("bad MAC address %r" % mac)
    if folder is None:
        return ["-device", "%s,mac=%s" % (model, mac)]
    netdev = ("dgram,id=nic%d,local.type=unix,local.path=%s,remote.type=unix,remote.path=%s"
              % (index, _drive_path(os.path.join(folder, "pc-%d.sock" % port)),
                 _drive_path(os.path.join(folder, "relay-%d.sock" % port))))
    return ["-netdev", netdev, "-device", "%s,netdev=nic%d,mac=%s" % (model, index, mac)]


class Segment:
    """An emulated Ethernet segment: brindlex-relay as a hub between the
    network cards of test PCs (each card takes one of its ports) and, with
    host_peer, a tap device "peer0" in a private network namespace of its
    own, where start_peer runs brindlex-netpeer. The relay drops, duplicates
    and reorders frames as its seed says, drops chosen frames by number
    (drop_frames: "N" overall or "PORT:N", ports in the order cards took
    them, the host peer's last) and writes a pcap file when asked.

        with Segment("lab", ports=2, host_peer=True, pcap="/tmp/lab.pcap") as seg:
            with TestPC("a", nics=[("e1000", "52:54:00:00:00:0a", seg)]) as pc: ...
    """

    def __init__(self, name, ports=2, host_peer=False, seed=1, drop=0, duplicate=0, reorder=0,
                 delay_ms=0, jitter_ms=0, drop_frames=(), pcap=None):
        self.name = name
        self.ports = ports
        self.folder = tempfile.mkdtemp(prefix="testpc-segment-%s-" % name)
        self.holder = None
        self.relay = None
        self.peers = []
        args = [os.path.join(host_dir(), "bin", "brindlex-relay"), "--segment", self.folder,
                str(ports), "--seed", str(seed), "--drop", str(drop), "--duplicate",
                str(duplicate), "--reorder", str(reorder), "--delay", str(delay_ms),
                "--jitter", str(jitter_ms)]
        for choice in drop_frames:
            args += ["--drop-frame", str(choice)]
        if pcap:
            args += ["--pcap", pcap]
        try:
            if host_peer:
                # A private namespace held open by a sleeping process, quiet
                # (no IPv6), for the peer's tap.
                self.holder = subprocess.Popen(
                    ["unshare", "--net", "sh", "-c",
                     "echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6; "
                     "echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6; "
                     "echo ready; exec sleep 1000000"],
                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                if self.holder.stdout.readline().strip() != b"ready":
                    raise TestPCError("cannot make a private network namespace (root needed)")
                args += ["--tap", "peer0", self.netns()]
            self.relay = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if self.relay.stdout.readline().strip() != b"brindlex-relay: ready":
                raise TestPCError("the segment relay did not start: %s"
                                  % self.relay.stderr.read().decode(errors="replace"))
        except BaseException:
            self.close()
            raise

    def netns(self):
        """The host peer's network namespace (a /proc path)."""
        return "/proc/%d/ns/net" % self.holder.pid

    def take_port(self):
        return claim_segment_port(self.folder, self.ports)

    def start_peer(self, args):
        """Starts brindlex-netpeer with args (e.g. ["--server", FILE]) in the
        host peer's namespace; returns a Peer."""
        if self.holder is None:
            raise TestPCError("the segment has no host peer")
        peer = Peer(os.path.join(host_dir(), "bin", "brindlex-netpeer"), self.netns(), args)
        self.peers.append(peer)
        return peer

    def counters(self):
        """The relay's closing line (frames in, forwarded, dropped, ...);
        stops the relay."""
        self._stop_relay()
        return self.relay_report

    def _stop_relay(self):
        if self.relay is not None and self.relay.poll() is None:
            self.relay.terminate()
            try:
                self.relay.wait(5)
            except subprocess.TimeoutExpired:
                self.relay.kill()
                self.relay.wait()
        if self.relay is not None and not hasattr(self, "relay_report"):
            self.relay_report = self.relay.stderr.read().decode(errors="replace").strip()

    def close(self):
        for peer in self.peers:
            peer.close()
        self._stop_relay()
        if self.holder is not None and self.holder.poll() is None:
            self.holder.kill()
            self.holder.wait()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, kind, value, tb):
        self.close()
        return False


class WireDatagram:
    """One datagram of the installation protocol on a segment: `at` (seconds
    of the capture), `src` and `dst` (MAC texts as the installer prints
    them), `flags`, `kind`, `seq`, `ack` and `payload` (bytes)."""

    def __init__(self, at, header, payload):
        def mac(b):
            return ":".join("%02X" % x for x in b)
        self.at = at
        self.src, self.dst = mac(header[0:6]), mac(header[6:12])
        self.flags, self.kind = header[12], header[13]
        length, self.seq, self.ack = struct.unpack("<HHH", header[14:20])
        self.payload = payload[:length]

    def tag(self):
        """The message's first four payload bytes ("DSCV", "TERM", ...), or
        "ack" for a bare acknowledgement, "data" for a file block."""
        if self.kind == 1:
            return "data"
        return self.payload[:4].decode("latin-1") if self.payload else "ack"


def wire_datagrams(pcap):
    """The installation protocol's datagrams (UDP to port 5000) in a pcap
    file that a Segment wrote, in the order the relay forwarded them."""
    with open(pcap, "rb") as f:
        data = f.read()
    datagrams = []
    at = 24
    while at + 16 <= len(data):
        seconds, micros, captured, _ = struct.unpack("<IIII", data[at:at + 16])
        frame = data[at + 16:at + 16 + captured]
        at += 16 + captured
        if len(frame) < 14 + 20 + 8 or frame[12:14] != b"\x08\x00" or frame[23] != 17:
            continue
        ip = (frame[14] & 0x0F) * 4
        udp = frame[14 + ip:]
        if len(udp) < 8 + 20 or struct.unpack(">H", udp[2:4])[0] != 5000:
            continue
        datagrams.append(WireDatagram(seconds + micros / 1e6, udp[8:28], udp[28:]))
    return datagrams


class Peer:
    """brindlex-netpeer running in a private namespace: its output is read
    by a thread; send() types on its standard input."""

    def __init__(self, program, netns, args):
        self.output = _Channel("peer")
        self.process = subprocess.Popen([program, "--netns", netns] + list(args),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)

        class _Pipe:
            def __init__(self, f):
                self.f = f

            def recv(self, n):
                return os.read(self.f.fileno(), n)

            def close(self):
                pass

        self.output.attach(_Pipe(self.process.stdout))

    def expect(self, text, timeout=30):
        i, before = self.output.expect([text], timeout)
        if i is None:
            raise Timeout("%r did not come from the peer within %s s; it said:\n%s"
                          % (text, timeout, self.output.text()))
        return before

    def send(self, text):
        self.process.stdin.write(text.encode("latin-1"))
        self.process.stdin.flush()

    def wait(self, timeout=30):
        """The peer's exit status (raises Timeout)."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Timeout("the peer did not end within %s s" % timeout)

    def text(self):
        return self.output.text()

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class PCConfig:
    """What a test PC is made of: its media, /TYPE and init's arguments."""

    def __init__(self, type_text=None, init_args=(), disks=(), floppy=None, cdrom=None,
                 serial_only=False, init=None, memory_mb=DEFAULT_MEMORY_MB, bootsys=None,
                 cdrom_position="hdc", insmod_hold=None, broken_unpacker=False, boot_from=None,
                 nics=()):
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
                port = claim_segment_port(folder, _segment_ports(folder))
            else:
                folder, port = None, None
            self.nics.append((model, mac, folder, port))
        self.insmod_hold = insmod_hold
        self.broken_unpacker = broken_unpacker
        self.type_text = type_text
        self.init_args = list(init_args)
        self.floppy = floppy
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
            cmd += ["-boot", "order=" + {"cdrom": "d", "disk": "c"}[self.boot_from]]
        if self.boot_from == "disk":
            # The BIOS's own messages and those of the boot programs that
            # print through it (the master boot record's, the partition's
            # boot loader) then show on the serial console too.
            if sercon_port is None:
                raise TestPCError("booting from the disk needs the sercon port file")
            cmd += ["-fw_cfg", "name=etc/sercon-port,file=" + sercon_port]
        cmd += ["-chardev", console + ",id=console", "-serial", "chardev:console",
               "-chardev", log + ",id=log", "-serial", "chardev:log",
               "-chardev", monitor + ",id=monitor", "-mon", "chardev=monitor,mode=readline"]
        for pos, (kind, path) in sorted(self.ide.items()):
            index = IDE_POSITIONS.index(pos)
            drive = "if=ide,index=%d,media=%s" % (index, kind)
            if path:
                drive += ",format=raw,file=" + _drive_path(path)
            cmd += ["-drive", drive]
        for index, (model, mac, folder, port) in enumerate(self.nics):
            cmd += nic_options(index, model, mac, folder, port)
        drive = "if=floppy,index=0"
        if self.floppy:
            drive += ",format=raw,file=" + _drive_path(self.floppy)
        cmd += ["-drive", drive]
        return cmd


def write_sercon_port(folder):
    """Writes the file that tells the BIOS to repeat its screen on the first
    serial port (the console) into folder; returns its path."""
    path = os.path.join(folder, "sercon-port")
    with open(path, "wb") as port:
        port.write((0x3F8).to_bytes(2, "little"))
    return path


def _segment_ports(folder):
    """How many ports the relay serving folder has (its relay-N.sock files)."""
    return len([f for f in os.listdir(folder) if f.startswith("relay-") and f.endswith(".sock")])


def _encode(text):
    return urllib.parse.quote(text, safe="")


def _drive_path(path):
    path = os.path.abspath(path)
    if "," in path:
        raise TestPCError("image path must not contain a comma: " + path)
    return path


class _Channel:
    """One byte stream from the emulator (console, log or monitor), read by a
    thread into a growing buffer."""

    def __init__(self, name):
        self.name = name
        self.data = bytearray()
        self.cursor = 0  # where the next expect starts looking, in normal()
        self.cond = threading.Condition()
        self.sock = None
        self.closed = False

    def attach(self, sock):
        self.sock = sock
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            try:
                chunk = self.sock.recv(4096)
            except OSError:
                chunk = b""
            with self.cond:
                if not chunk:
                    self.closed = True
                    self.cond.notify_all()
                    return
                self.data += chunk
                self.cond.notify_all()

    def text(self):
        with self.cond:
            return self.data.decode("latin-1")

    def normal(self):
        """The bytes so far with each CR LF read as LF (call with cond held)."""
        return bytes(self.data).replace(b"\r\n", b"\n")

    def expect(self, texts, timeout):
        """Waits until one of texts appears after the cursor; returns
        (index of the text, what came before it) and moves the cursor past it."""
        wanted = [t.encode("latin-1") for t in texts]
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                best = None
                data = self.normal()
                for i, w in enumerate(wanted):
                    at = data.find(w, self.cursor)
                    if at >= 0 and (best is None or at < best[1]):
                        best = (i, at)
                if best is not None:
                    i, at = best
                    before = data[self.cursor:at].decode("latin-1")
                    self.cursor = at + len(wanted[i])
                    return i, before
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    return None, None
                self.cond.wait(min(left, 0.5))

    def wait_quiet(self, seconds):
        """Waits until nothing new arrives for seconds; returns the new text."""
        with self.cond:
            start = len(self.data)
            while True:
                size = len(self.data)
                self.cond.wait(seconds)
                if len(self.data) == size or self.closed:
                    return self.data[start:].decode("latin-1")

    def rest(self):
        """Everything after the cursor; moves the cursor to the end."""
        with self.cond:
            data = self.normal()
            text = data[self.cursor:].decode("latin-1")
            self.cursor = len(data)
            return text


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
                 nics=()):
        self.name = name
        self.config = PCConfig(type_text, init_args, disks, floppy, cdrom, serial_only, init,
                               memory_mb, bootsys, cdrom_position, insmod_hold,
                               broken_unpacker, boot_from, nics)
        self.console = _Channel("console")
        self.log_channel = _Channel("log")
        self.monitor_channel = _Channel("monitor")
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
        return self.monitor("change floppy0 " + _drive_path(image) + " raw")

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
        err = self._qemu_stderr()
        if err:
            out.write("--- emulator ---\n" + err + "\n")
        out.write("=== end of %s\n" % self.name)
        out.flush()


# The installed sample system's line on the console (samples/system/sbin/init).
SYSTEM_LINE = "Brindlex router system running on "
# What the master boot record's boot program prints when it cannot go on,
# and what the BIOS says when the disk has no boot record at all.
BOOT_FAILURES = ("Missing operating system", "Error loading operating system",
                 "No bootable device")


class InstalledSystem:
    """What the installed sample system said about itself once booted:
    `root` ("/dev/hda1"), `root_type` ("ext2" or "ext3"), `packages` and
    `kept_configuration` (lists of names, sorted; empty for "none"),
    `line` (the whole line) and `console` (the boot's console text)."""

    def __init__(self, line, console):
        self.line = line
        self.console = console
        parts = line[len(SYSTEM_LINE):].split("; ")
        fields = {}
        for part in parts[1:]:
            key, _, value = part.partition(": ")
            fields[key] = value
        try:
            self.root, kind = parts[0].split(" ")
            self.root_type = kind.strip("()")
            self.packages = _names(fields["packages"])
            self.kept_configuration = _names(fields["kept configuration"])
        except (KeyError, ValueError):
            raise TestPCError("the installed system's line is not understood: %r" % line)

    def __repr__(self):
        return "InstalledSystem(%r)" % self.line


def _names(text):
    return [] if text == "none" else sorted(text.split(" "))


def boot_installed_disk(disks, name="installed-disk", timeout=300, memory_mb=DEFAULT_MEMORY_MB):
    """Restarts a PC from its installed first disk, the way a real PC comes
    up after the installer's restart: the BIOS runs the boot program in
    sector 0, which starts the active partition's boot loader, which starts
    the installed kernel. disks is one image path or the TestPC disks list.
    Waits for the installed sample system's line and for the machine to
    power itself off, and returns an InstalledSystem. Raises TestPCError
    (the transcript goes to stderr) when the disk does not boot: a boot
    program's message, a crash, a hang or a restart instead of a power-off."""
    if isinstance(disks, str):
        disks = [disks]
    with TestPC(name, disks=disks, boot_from="disk", memory_mb=memory_mb) as pc:
        pc.start()
        i, _ = pc.expect_any([SYSTEM_LINE] + list(BOOT_FAILURES), timeout)
        if i != 0:
            raise TestPCError("%s: the installed disk does not boot: %r" % (name, BOOT_FAILURES[i - 1]))
        rest = pc.expect("\n", 30)
        verdict = pc.wait_end(120)
        if not pc.powered_off():
            raise TestPCError("%s: the installed system did not power off (%s)"
                              % (name, verdict or "still running"))
        return InstalledSystem(SYSTEM_LINE + rest.rstrip("\r"), pc.console_text())


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
