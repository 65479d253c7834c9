"""The network segment of the test PCs: brindlex-relay as a hub between
their network cards and, in a private network namespace, a host peer of
the installation protocol; the protocol's datagrams read back from the
relay's capture."""

import os
import shutil
import struct
import subprocess
import tempfile

from .base import TestPCError, Timeout, drive_path, host_dir
from .channel import Channel

# The network cards the test PC can have (QEMU device models) and the
# drivers of the installer's module list that serve them. rtl8139 is an
# 8139C+ chip that 8139too refuses, so a PC with only that card has no
# interface the installer can use.
NIC_MODELS = {"e1000": "e1000", "ne2k_pci": "ne2k-pci", "pcnet": "pcnet32",
              "i82557b": "e100", "rtl8139": None}
# The network boot ROM of each model: Debian's iPXE builds for the emulator
# (ipxe-qemu), each with the PC BIOS's PXE stack.
IPXE_ROMS = {"e1000": "efi-e1000.rom", "ne2k_pci": "efi-ne2k_pci.rom", "pcnet": "efi-pcnet.rom",
             "i82557b": "efi-eepro100.rom", "rtl8139": "efi-rtl8139.rom"}
IPXE_FOLDER = "/usr/lib/ipxe/qemu"


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


def nic_options(index, model, mac, folder=None, port=None, boot_rom=None):
    """The emulator options of network card index: MODEL with MAC, joined to
    port of the segment relay in folder (unconnected without one). boot_rom:
    None = the emulator's default option ROM, True = the card boots the PC
    from the network (iPXE), False = no option ROM at all."""
    if model not in NIC_MODELS:
        raise TestPCError("unknown network card model %r (one of %s)"
                          % (model, ", ".join(sorted(NIC_MODELS))))
    if len(mac.split(":")) != 6:
        raise TestPCError("bad MAC address %r" % mac)
    device = "%s,mac=%s" % (model, mac)
    if boot_rom:
        rom = os.path.join(IPXE_FOLDER, IPXE_ROMS[model])
        if not os.path.isfile(rom):
            raise TestPCError("%s is missing (Debian's ipxe-qemu package)" % rom)
        device += ",romfile=%s,bootindex=1" % drive_path(rom)
    elif boot_rom is False:
        device += ",romfile="
    if folder is None:
        return ["-device", device]
    netdev = ("dgram,id=nic%d,local.type=unix,local.path=%s,remote.type=unix,remote.path=%s"
              % (index, drive_path(os.path.join(folder, "pc-%d.sock" % port)),
                 drive_path(os.path.join(folder, "relay-%d.sock" % port))))
    return ["-netdev", netdev, "-device", "%s,netdev=nic%d" % (device, index)]



def segment_ports(folder):
    """How many ports the relay serving folder has (its relay-N.sock files)."""
    return len([f for f in os.listdir(folder) if f.startswith("relay-") and f.endswith(".sock")])



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
        return self._start([os.path.join(host_dir(), "bin", "brindlex-netpeer"), "--netns",
                            self.netns()] + list(args))

    def start_install_server(self, args):
        """Starts brindlex-install-server --interface peer0 with args (e.g.
        ["--netboot", TREE, "--install", "first", ...]) in the host peer's
        namespace, on its tap; returns a Peer. Its dnsmasq, with --netboot,
        runs in that namespace too and sees only the segment."""
        return self._start(["nsenter", "--net=" + self.netns(),
                            os.path.join(host_dir(), "bin", "brindlex-install-server"),
                            "--interface", "peer0"] + list(args))

    def _start(self, command):
        if self.holder is None:
            raise TestPCError("the segment has no host peer")
        peer = Peer(command)
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
    """A program of the host peer (brindlex-netpeer, brindlex-install-server)
    running in its private namespace: its output is read by a thread; send()
    types on its standard input."""

    def __init__(self, command):
        self.output = Channel("peer")
        self.process = subprocess.Popen(command,
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
        # SIGTERM first: the installation server then stops its dnsmasq.
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

