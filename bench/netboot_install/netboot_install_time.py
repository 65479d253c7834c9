#!/usr/bin/python3
"""Wall time of a router installed over the network after booting from the
network (PXE) or from the small net boot CD, beside the local CD-ROM
installation of the same packages (the sample set), in the same run.

From power-on to the restart of the installed PC:

- cdrom: the installation CD booted through the BIOS, every package chosen,
  installed locally (n, y) -- the reference;
- pxe: a bare PC (blank disk, no floppy drive, one e1000 with iPXE) boots the
  network boot image's serial entry from `brindlex-install-server --netboot
  TREE --install first` on the segment's host port and is installed by it;
- netcd: the same PC with the boot CD of the network installation
  (`brindlex-make-cd --boot-only net`) in its drive boots it through the
  BIOS and is installed by `brindlex-install-server --install first`.

The ratios pxe / cdrom and netcd / cdrom are printed.

    make host target bootsys
    BRINDLEX_BOOTSYS_DIR=build/bootsys BRINDLEX_HOST_DIR=build/host \\
        python3 bench/netboot_install/netboot_install_time.py [RUNS]
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "..", "testpc"))
sys.path.insert(0, os.path.join(here, "..", "..", "testpc", "scenarios"))
sys.path.insert(0, os.path.join(here, "..", "remote_install"))
from cdrom_install import make_install_cd  # noqa: E402
from net_pxe_install import make_netboot_tree  # noqa: E402
from remote_install import host_program  # noqa: E402
from remote_install_time import cdrom_run, check_complete  # noqa: E402
from testpc import Segment, TestPC, make_disk_image  # noqa: E402

ROUTER_MAC = "52:54:00:00:0F:01"


def remote_run(tmp, packages, count, tree=None, iso=None):
    """One router installed by the host's server; booted from the network
    (tree) or from the boot CD (iso). Its wall time."""
    disk = make_disk_image(os.path.join(tmp, "router.img"), 400)
    server_args = ["--install", "first", "--seconds", "900", "--packages", packages,
                   "--address", "10.0.0.2/24"]
    if tree:
        server_args = ["--netboot", tree] + server_args
    with Segment("benchpxe", ports=1, host_peer=True) as segment:
        server = segment.start_install_server(server_args)
        server.expect("Looking for routers on 1 interface...\n", 30)
        nics = [("e1000", ROUTER_MAC.lower(), segment)]
        if tree:
            pc = TestPC("bench_pxe", disks=[disk], boot_from="network", floppy_drive=False,
                        nics=nics)
        else:
            pc = TestPC("bench_netcd", disks=[disk], cdrom=iso, boot_from="cdrom",
                        floppy_drive=False, nics=nics)
        with pc:
            started = time.monotonic()
            pc.start()
            pc.boot_entry("serial", 180)
            pc.expect("\nSoftware installed.\nPress ENTER to reboot\n", 1800)
            check_complete(pc, count)
            pc.wait_restart(120)
            took = time.monotonic() - started
        if server.wait(60) != 0:
            raise RuntimeError("the server failed:\n" + server.text())
    return took


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    packages = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "samples", "packages")
    count = len([f for f in os.listdir(packages) if f.endswith(".vpk")])
    with tempfile.TemporaryDirectory(prefix="bench-netboot-") as tmp:
        iso = make_install_cd(tmp, packages, "install.iso")
        tree = make_netboot_tree(tmp)
        net_iso = os.path.join(tmp, "net-boot.iso")
        subprocess.run([host_program("brindlex-make-cd"), "--boot-only", "net",
                        os.environ["BRINDLEX_BOOTSYS_DIR"], net_iso], check=True,
                       stdout=subprocess.DEVNULL)
        times = {"cdrom": [], "pxe": [], "netcd": []}
        for _ in range(runs):
            times["cdrom"].append(cdrom_run(tmp, iso, count))
            times["pxe"].append(remote_run(tmp, packages, count, tree=tree))
            times["netcd"].append(remote_run(tmp, packages, count, iso=net_iso))
        cd, pxe, netcd = (statistics.median(times[k]) for k in ("cdrom", "pxe", "netcd"))
        print("sample packages, %d run(s), power-on to restart: local CD-ROM %.1f s, "
              "PXE-booted remote %.1f s, CD-booted remote %.1f s; PXE / CD-ROM = %.2f, "
              "net boot CD / CD-ROM = %.2f" % (runs, cd, pxe, netcd, pxe / cd, netcd / cd),
              flush=True)


if __name__ == "__main__":
    main()
