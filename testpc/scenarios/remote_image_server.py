"""Test PCs: the self-installing disk image with "CHOOSE" as the
installation server, with two routers announcing at once.

The server PC boots an image that brindlex-make-disk-image made (the
sample packages, "CHOOSE") through its BIOS; every package is chosen in
its menu. Two routers announce themselves on the segment: a router PC
(/TYPE "net", a blank disk, its label floppy saying "rack 7") and the
network lab's disk-less router on this machine (label "other-router").

The operator presses 'r': both are listed, each once, with their labels;
the router PC is picked and installed (n, 10.0.0.2, Enter, 0.0.0.0, Enter)
and restarts after the server's key; its disk holds every package and the
script for its card. The other router is unharmed: still waiting, still
announcing itself every second after the installation.

Back in the menu, 'r' again lists the other router alone; it is switched
off before the operator picks it, so the offer goes unanswered: "No
response from router (press any key)", a key, and the image installation
ends there ("Press ENTER to reboot", the restart) without touching the
image's volume.
"""

import os
import re
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from disk_image_failures import volume_state  # noqa: E402
from disk_image_install import make_image, package_dir  # noqa: E402
from floppy_set_faults import expect  # noqa: E402
from remote_install import (ORDER, SCRIPT, check_router_disk, install_router,  # noqa: E402
                            label_floppy, router_pc)
from testpc import (ENTER, Segment, TestPC, make_disk_image, run_scenario,  # noqa: E402
                    wire_datagrams)

SERVER_MAC = "52:54:00:00:0E:01"
ROUTER_CARDS = [("pcnet", "52:54:00:00:0E:11", False), ("e1000", "52:54:00:00:0E:12", True)]
CABLED_MAC = "52:54:00:00:0E:12"
IMAGE_BANNER = "Welcome to Brindlex Router Software hard disk installation"


def image_server_pc(name, image, segment):
    pc = TestPC(name, disks=[image], boot_from="disk", memory_mb=128,
                nics=[("e1000", SERVER_MAC.lower(), segment)])
    pc.start()
    pc.boot_entry("serial")
    pc.expect(IMAGE_BANNER, 120)
    return pc


def main():
    with tempfile.TemporaryDirectory() as tmp:
        packages, _ = package_dir(tmp, blob=False)
        image = make_image(tmp, packages, "server.img")
        disk = make_disk_image(os.path.join(tmp, "router.img"), 400)
        floppy = label_floppy(tmp, "rack 7\n")
        pcap = os.path.join(tmp, "segment.pcap")
        volume = volume_state(image)
        with Segment("image", ports=2, host_peer=True, pcap=pcap) as segment:
            other = segment.start_peer(["--client", "--label", "other-router", "--folder", tmp])
            shown = other.expect("\nWaiting for installation server...\n", 30)
            other_mac = re.search(r"mac-address: (\S+)", shown).group(1)
            server = image_server_pc("image_server", image, segment)
            try:
                server.expect("system (depends on kernel):", 120)
                server.send("a")
                with router_pc("image_router", disk, segment, floppy, ROUTER_CARDS) as router:
                    entries = install_router(server, router, "rack7", False, ROUTER_CARDS,
                                             SERVER_MAC, routers=2)
                installed_at = time.monotonic()
                expect((other_mac, "other-router") in [e[:2] for e in entries],
                       "the other router is not listed: %r" % entries)

                # The other router goes on waiting and announcing.
                server.expect("system (depends on kernel):", 60)
                time.sleep(max(0.0, 3 - (time.monotonic() - installed_at)))
                expect(other.text().endswith("\nWaiting for installation server...\n"),
                       "the other router: %r" % other.text())
                server.send("r")
                server.expect("Found 1 router: \n\n", 60)
                server.expect(" %s (other-router) \n" % other_mac, 10)
                other.close()
                server.send(ENTER)
                server.expect("Keep config? [y/n]:", 30)
                server.send("y")
                server.expect("\n\nSending offer...\n", 30)
                server.expect("No response from router (press any key)", 60)
                server.send("x")
                server.expect("Press ENTER to reboot", 60)
                server.send(ENTER)
                server.expect("\nRebooting...", 30)
                server.wait_restart(60)
                text = server.console_text()
            except Exception:
                server.report()
                raise
            finally:
                server.close()
            segment.counters()
        expect("Creating partition" not in text and "Reading: " not in text,
               "the image installed itself")
        expect(volume_state(image) == volume, "the image's volume changed")
        check_router_disk(disk, ORDER, tmp, SCRIPT % CABLED_MAC, kept=False)
        datagrams = wire_datagrams(pcap)
        last_term = max(d.at for d in datagrams if d.tag() == "TERM")
        later = [d.at for d in datagrams if d.src == other_mac and d.tag() == "DSCV" and
                 d.at > last_term]
        expect(len(later) >= 2, "the other router stopped announcing")
        offers = [d for d in datagrams if d.tag() == "OFFR" and d.dst == other_mac]
        expect(len(offers) == 10, "offers to the switched-off router: %d" % len(offers))
    print("remote_image_server: ok")


run_scenario(main)
