"""Test PC: the network transport on the real i386 kernel.

A PC with five network cards on one segment: e1000, ne2k_pci, pcnet and
i82557b, which the installer's drivers serve, and an rtl8139, an 8139C+
chip that 8139too refuses. testpc-net runs as init: it loads the drivers of
the installer's list (those the kernel lacks fail in /sbin/insmod and it
carries on), lists exactly the four usable cards with their MACs (never the
loopback), opens an endpoint on each although none has an address, and as
the client goes through a whole conversation with a peer on this machine
(brindlex-netpeer as the server, in a private namespace on the segment):
announcements, offer, acceptance, start, two packages and the
configuration, and the closing exchange after ENTER on the PC. The relay
between them loses 3 % of the frames.
"""

import os
import re
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testpc import ENTER, Segment, TestPC, run_scenario  # noqa: E402

CARDS = [("e1000", "52:54:00:00:0a:01"), ("ne2k_pci", "52:54:00:00:0a:02"),
         ("pcnet", "52:54:00:00:0a:03"), ("i82557b", "52:54:00:00:0a:04"),
         ("rtl8139", "52:54:00:00:0a:05")]
USABLE = {mac.upper() for model, mac in CARDS if model != "rtl8139"}
SCRIPT = "/ip route add gateway=10.0.0.1\n"


def main():
    with tempfile.TemporaryDirectory() as tmp:
        files = []
        for name, size in (("base.vpk", 3000), ("tools.vpk", 20000)):
            path = os.path.join(tmp, name)
            with open(path, "wb") as f:
                f.write(os.urandom(size))
            files.append(path)
        with Segment("net", ports=len(CARDS), host_peer=True, seed=7, drop=3) as segment:
            server = segment.start_peer(["--server", "--script", SCRIPT, "--listen-seconds", "240"]
                                        + files)
            server.expect("Looking for routers on 1 interface...", 20)
            nics = [(model, mac, segment) for model, mac in CARDS]
            with TestPC("net-transport", init="/sbin/testpc-net",
                        init_args=["--client", "--label", "lab-pc", "--prepare-ms", "1500"],
                        nics=nics) as pc:
                pc.start()
                pc.expect("testpc-net: loading the network drivers", 60)
                listing = pc.expect("\nWaiting for installation server...", 120)
                before = re.findall(r"testpc-net: before (\S+) (\S+) address (\S+)", listing)
                names = {name: (mac, address) for name, mac, address in before}
                assert names.get("lo") == ("00:00:00:00:00:00", "none"), before
                cards = {mac for name, (mac, _) in names.items() if name != "lo"}
                assert cards == USABLE, "kernel interfaces %r" % before
                assert all(address == "none" for _, address in names.values()), before
                listed = re.findall(r"mac-address: (\S+)", listing)
                # The client's list: every usable card once, in the kernel's
                # order, never the loopback.
                kernel_order = [mac for name, (mac, _) in names.items() if name != "lo"]
                assert listed == kernel_order, (listed, kernel_order)
                assert "disk label: lab-pc" in listing

                heard = server.expect("Formating and partitioning harddisk...", 60)
                router = re.search(r"router (\S+) \(lab-pc\)", heard).group(1)
                assert router in USABLE, heard
                peer_mac = re.search(r"on the interface (\S+)", heard).group(1)
                pc.expect("Found server at %s\nkeep: no\n" % peer_mac, 30)
                for path in files:
                    with open(path, "rb") as f:
                        data = f.read()
                    pc.expect("received %s: %d bytes, crc %08x\n"
                              % (os.path.basename(path), len(data), zlib.crc32(data)), 120)
                pc.expect("received autorun.scr: %d bytes, crc %08x\n"
                          % (len(SCRIPT), zlib.crc32(SCRIPT.encode())), 60)
                pc.expect("Press ENTER to reboot", 30)
                server.expect("Press ENTER to reboot", 30)
                pc.send(ENTER)
                server.expect("conversation closed", 30)
                assert server.wait(10) == 0, server.text()
                pc.expect("conversation closed", 30)
                after = pc.expect("testpc-net: client result 0", 30)
                up = re.findall(r"testpc-net: after (\S+) (\S+) address (\S+)", after)
                assert {mac for name, mac, _ in up if name != "lo"} == USABLE, after
                assert pc.wait_end(60) == "restarted"

                loaded = pc.log.replace("\r", "")
                for module in ("e1000", "e100", "pcnet32", "ne2k-pci", "8139too"):
                    assert "testpc-insmod %s loaded" % module in loaded, loaded
                assert "testpc-insmod hp100 failed" in loaded, loaded
                assert pc.insmod_requests()[-1] == "pegasus", pc.insmod_requests()
            report = segment.counters()
            dropped = int(re.search(r"(\d+) dropped", report).group(1))
            assert dropped > 0, report


run_scenario(main)
