"""Test PC: a bare router boots from the network and is installed by the
host's installation server.

The router PC has a blank 400 MB disk, no floppy drive, no CD-ROM drive and
one e1000 card, whose iPXE ROM the BIOS boots. On the segment's host port,
in a private namespace, runs `brindlex-install-server --netboot TREE
--install first --packages SAMPLES --address 10.0.0.2/24 --baud 9600`
with the tree that brindlex-make-netboot made of the boot system: its
dnsmasq answers the card's DHCP and TFTP requests, pxelinux shows its
"boot:" prompt and the serial entry is typed. The installer comes up in the
network installation, finds the disk, shows the card's MAC address and the
disk label "brindlex", is picked by the server as the first router heard
(with that label), installs every sample package in its own unpacker run
and the script, and restarts; the server ends with status 0, its dnsmasq
lines prefixed and stopped.

On the host: every file of every package on the disk as the package holds
it, the unpacker's records, /autorun.scr exactly the script for the card's
MAC; then the disk boots by itself (BIOS, boot program, boot loader) into
the installed system, which reports the packages.
"""

import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from floppy_set_faults import expect  # noqa: E402
from remote_install import (ORDER, SCRIPT, check_router_disk, host_program,  # noqa: E402
                            router_installs, sample_packages)
from testpc import Segment, TestPC, boot_installed_disk, make_disk_image, run_scenario  # noqa: E402

ROUTER_MAC = "52:54:00:00:0E:01"


def make_netboot_tree(tmp):
    tree = os.path.join(tmp, "netboot")
    subprocess.run([host_program("brindlex-make-netboot"), os.environ["BRINDLEX_BOOTSYS_DIR"],
                    tree], check=True, stdout=subprocess.DEVNULL)
    # dnsmasq reads the tree as nobody.
    os.chmod(tmp, 0o755)
    return tree


def main():
    with tempfile.TemporaryDirectory(prefix="net-pxe-") as tmp:
        tree = make_netboot_tree(tmp)
        disk = make_disk_image(os.path.join(tmp, "router.img"), 400)
        with Segment("pxe", ports=1, host_peer=True) as segment:
            server = segment.start_install_server(
                ["--netboot", tree, "--install", "first", "--seconds", "400", "--packages",
                 sample_packages(), "--address", "10.0.0.2/24", "--baud", "9600"])
            server.expect("Serving the network boot image %s on peer0\n" % tree, 30)
            with TestPC("net_pxe_router", disks=[disk], boot_from="network",
                        floppy_drive=False, nics=[("e1000", ROUTER_MAC.lower(), segment)]) as pc:
                started = time.monotonic()
                pc.start()
                pc.boot_entry("serial", 180)
                pc.expect("Welcome to Brindlex Router Software remote installation\n", 240)
                pc.expect("Found harddrive as IDE Primary master (disk C)\n", 120)
                shown = pc.expect("disk label: brindlex\n", 10)
                expect(shown == "\nmac-address: %s\n" % ROUTER_MAC, "before the label: %r" % shown)
                server.expect("Installing router %s (brindlex) on peer0\n" % ROUTER_MAC, 60)
                router_installs(pc, ORDER, keep=False, script=True)
                pc.expect("\nRebooting...", 60)
                pc.wait_restart(60)
                took = time.monotonic() - started
            expect(server.wait(60) == 0, "the server's status; it said:\n" + server.text())
        said = server.text()
        for line in ("netboot: dnsmasq-dhcp[", "]: DHCPACK(peer0) 192.168.253.",
                     "]: sent %s/pxelinux.0 to 192.168.253." % tree,
                     "]: sent %s/boot/initrd.gz to 192.168.253." % tree,
                     "netboot: dnsmasq[", "]: exiting on receipt of SIGTERM\n"):
            expect(line in said, "the server did not say %r:\n%s" % (line, said))
        _, compared = check_router_disk(disk, ORDER, tmp, SCRIPT % ROUTER_MAC, kept=False)
        print("network boot to restart: %.0f s; %d entries of %d packages as sent"
              % (took, compared, len(ORDER)))
        system = boot_installed_disk(disk, name="net_pxe_router-up")
        expect(system.packages == sorted(ORDER), "the installed system reports %r" % system)


if __name__ == "__main__":
    run_scenario(main)
