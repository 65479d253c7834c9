"""Test PCs: two bare routers boot from the network at once from one
installation server; it installs the second by its MAC address, and the
first goes on announcing itself, unharmed.

Both PCs have a blank disk, no floppy drive and one e1000 with iPXE on one
segment. On the segment's host port runs `brindlex-install-server
--netboot TREE --install MAC2 ...`: its dnsmasq leases each card its own
address and serves both the boot image; both installers show their MAC
address and the label "brindlex" and announce themselves. The server
installs the second router only, which restarts and then boots its own
disk. The first still waits: a `brindlex-install-server --list` on the
segment afterwards hears it, and its disk is still blank.
"""

import os
import re
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from floppy_set_faults import expect  # noqa: E402
from net_pxe_install import make_netboot_tree  # noqa: E402
from remote_install import (ORDER, SCRIPT, check_router_disk, router_installs,  # noqa: E402
                            sample_packages)
from testpc import (Segment, TestPC, boot_installed_disk, is_blank,  # noqa: E402
                    make_disk_image, run_scenario, run_side_by_side)

PROCESSORS = 2
FIRST_MAC = "52:54:00:00:0E:11"
SECOND_MAC = "52:54:00:00:0E:12"


def bare_router(name, disk, mac, segment):
    pc = TestPC(name, disks=[disk], boot_from="network", floppy_drive=False,
                nics=[("e1000", mac.lower(), segment)])
    pc.start()
    return pc


def announces(pc, mac):
    pc.boot_entry("serial", 240)
    pc.expect("Found harddrive as IDE Primary master (disk C)\n", 300)
    shown = pc.expect("disk label: brindlex\n", 10)
    expect(shown == "\nmac-address: %s\n" % mac, "before the label: %r" % shown)
    pc.expect("Waiting for installation server...", 10)


def main():
    with tempfile.TemporaryDirectory(prefix="net-pxe-two-") as tmp:
        tree = make_netboot_tree(tmp)
        first_disk = make_disk_image(os.path.join(tmp, "first.img"), 400)
        second_disk = make_disk_image(os.path.join(tmp, "second.img"), 400)
        with Segment("pxe2", ports=2, host_peer=True) as segment:
            server = segment.start_install_server(
                ["--netboot", tree, "--install", SECOND_MAC, "--seconds", "500", "--packages",
                 sample_packages(), "--address", "10.0.0.2/24", "--baud", "9600"])
            server.expect("Serving the network boot image", 30)
            with bare_router("net_pxe_first", first_disk, FIRST_MAC, segment) as first, \
                    bare_router("net_pxe_second", second_disk, SECOND_MAC, segment) as second:
                # Both boot prompts at once: each waits only 5 s for its entry.
                run_side_by_side(lambda: announces(first, FIRST_MAC),
                                 lambda: announces(second, SECOND_MAC))
                server.expect("Installing router %s (brindlex) on peer0\n" % SECOND_MAC, 120)
                router_installs(second, ORDER, keep=False, script=True)
                second.expect("\nRebooting...", 60)
                second.wait_restart(60)
                expect(server.wait(60) == 0, "the server's status; it said:\n" + server.text())
                # One lease each.
                leases = set(re.findall(r"DHCPACK\(peer0\) (\S+) (\S+)", server.text()))
                expect(len({mac for _, mac in leases}) == 2 and len({a for a, _ in leases}) == 2,
                       "leases %r" % leases)
                # The first is still there, announcing itself.
                lister = segment.start_install_server(["--list", "--seconds", "4"])
                expect(lister.wait(30) == 0, "the list: " + lister.text())
                expect(" %s (brindlex) on peer0\n" % FIRST_MAC in lister.text() and
                       SECOND_MAC not in lister.text(), "the list: " + lister.text())
                expect("Formatting" not in first.console_text() and first.wait_end(0.1) is None,
                       "the first router was touched:\n" + first.console_text())
        expect(is_blank(first_disk), "the first router's disk was written")
        check_router_disk(second_disk, ORDER, tmp, SCRIPT % SECOND_MAC, kept=False)
        system = boot_installed_disk(second_disk, name="net_pxe_second-up")
        expect(system.packages == sorted(ORDER), "the installed system reports %r" % system)


if __name__ == "__main__":
    run_scenario(main)
