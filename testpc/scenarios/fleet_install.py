"""Test PCs: one fleet run of brindlex-install-server installs two router
PCs and two lab routers on one segment at the same time.

The two PCs boot the boot system with /TYPE "net", each with a blank disk,
one network card on the segment and a label floppy. The lab's two
disk-less routers (brindlex-netpeer) announce themselves from private
namespaces of their own, joined to the segment's host side by a bridge,
on which brindlex-install-server runs with --fleet: each PC gets its own
address, one lab router a script file, the other keeps its configuration.
Every router is installed by the one run (the summary says 4 installed,
the report each router's packages); the PCs restart, their disks hold
every sample package and exactly their own script, and both boot from
their disks into the installed system. The lab routers hold every
package byte for byte.
"""

import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from floppy_set_faults import expect  # noqa: E402
from remote_install import (ORDER, check_router_disk, host_program, router_pc,  # noqa: E402
                            sample_packages)
from testpc import (Segment, boot_installed_disk, make_disk_image, make_fat_floppy,  # noqa: E402
                    run_scenario, run_side_by_side)

PROCESSORS = 2
SERVER_MAC = "02:00:00:00:0F:01"
PCS = [("fleet_pc1", "52:54:00:00:0F:11", "pc-one", "10.0.15.1/24", "10.0.15.254"),
       ("fleet_pc2", "52:54:00:00:0F:12", "pc-two", "10.0.15.2/24", "")]
LAB = [("02:00:00:00:0F:21", "lab-one", "script"), ("02:00:00:00:0F:22", "lab-two", "keep")]
LAB_SCRIPT = "/system identity set name=lab-one\n"


def address_script(mac, address, gateway):
    text = (":local eth\n"
            ":set eth [/interface ethernet get [/interface ethernet find mac-address=%s] name]\n"
            "/interface enable $eth\n"
            "/ip address add address=%s interface=$eth\n" % (mac, address))
    if gateway:
        text += "/ip route add gateway=%s\n" % gateway
    return text


def in_netns(netns, *command):
    subprocess.run(["nsenter", "--net=" + netns] + list(command), check=True)


class LabRouters:
    """The lab routers, each in a private namespace of its own whose cable
    (a veth pair) meets the segment's tap in a bridge in the host peer's
    namespace; the server uses the bridge."""

    def __init__(self, segment, tmp):
        self.holders = []
        self.folders = []
        self.peers = []
        netns = segment.netns()
        in_netns(netns, "ip", "link", "add", "br0", "address", SERVER_MAC.lower(), "type",
                 "bridge")
        in_netns(netns, "ip", "link", "set", "peer0", "master", "br0", "up")
        for i, (mac, label, _) in enumerate(LAB):
            holder = subprocess.Popen(
                ["unshare", "--net", "sh", "-c",
                 "echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6; "
                 "echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6; "
                 "echo ready; exec sleep 1000000"],
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            self.holders.append(holder)
            expect(holder.stdout.readline().strip() == b"ready", "no private namespace")
            own = "/proc/%d/ns/net" % holder.pid
            in_netns(netns, "ip", "link", "add", "lab%d" % i, "type", "veth", "peer", "name",
                     "cli0", "netns", str(holder.pid))
            in_netns(own, "ip", "link", "set", "cli0", "address", mac.lower())
            in_netns(netns, "ip", "link", "set", "lab%d" % i, "master", "br0", "up")
            folder = os.path.join(tmp, label)
            os.makedirs(folder)
            self.folders.append(folder)
            self.peers.append(subprocess.Popen(
                [host_program("brindlex-netpeer"), "--netns", own, "--client", "--label", label,
                 "--folder", folder], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        in_netns(netns, "ip", "link", "set", "br0", "up")

    def close(self):
        for process in self.peers + self.holders:
            if process.poll() is None:
                process.kill()
            process.wait()


def main():
    with tempfile.TemporaryDirectory(prefix="fleet-install-") as tmp:
        table = os.path.join(tmp, "fleet.txt")
        with open(os.path.join(tmp, "lab-one.scr"), "w") as f:
            f.write(LAB_SCRIPT)
        with open(table, "w") as f:
            f.write("# two PCs and two lab routers\n")
            for _, mac, _, address, gateway in PCS:
                f.write("%s address %s%s\n" % (mac, address,
                                               " gateway " + gateway if gateway else ""))
            f.write("%s script lab-one.scr\n%s keep\n" % (LAB[0][0], LAB[1][0]))
        disks = [make_disk_image(os.path.join(tmp, name + ".img"), 400) for name, *_ in PCS]
        floppies = [make_fat_floppy(os.path.join(tmp, name + "-label.img"),
                                    {"label.txt": label + "\n"}) for name, _, label, *_ in PCS]
        report = os.path.join(tmp, "report.json")
        with Segment("fleet", ports=2, host_peer=True) as segment:
            lab = LabRouters(segment, tmp)
            try:
                pcs = [router_pc(name, disk, segment, floppy, [("e1000", mac, True)])
                       for (name, mac, *_), disk, floppy in zip(PCS, disks, floppies)]
                try:
                    for pc in pcs:
                        pc.expect("\nWaiting for installation server...\n", 300)
                    tool = subprocess.run(
                        ["nsenter", "--net=" + segment.netns(),
                         host_program("brindlex-install-server"), "--interface", "br0",
                         "--fleet", table, "--packages", sample_packages(), "--seconds", "120",
                         "--report", report],
                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                        stderr=subprocess.STDOUT, timeout=500)
                    said = tool.stdout.decode(errors="replace")
                    print(said)
                    expect(tool.returncode == 0, "the fleet run ended with %d" % tool.returncode)
                    expect("4 installed, 0 failed, 0 missing, 0 left alone\n" in said, said)
                    for (name, mac, label, *_), pc in zip(PCS, pcs):
                        expect("%s (%s): done, " % (mac.upper(), label) in said, name)
                        pc.expect("\nSoftware installed.\nPress ENTER to reboot\n", 120)
                        pc.wait_restart(120)
                except Exception:
                    for pc in pcs:
                        pc.report()
                    raise
                finally:
                    for pc in pcs:
                        pc.close()
            finally:
                lab.close()
        results = json.load(open(report))["routers"]
        expect([r["result"] for r in results] == ["installed"] * 4, results)
        expect(all(r["packages"] == [n + ".vpk" for n in ORDER] for r in results), results)
        for i, (mac, label, _) in enumerate(LAB):
            for name in ORDER:
                with open(os.path.join(sample_packages(), name + ".vpk"), "rb") as a, \
                        open(os.path.join(lab.folders[i], name + ".vpk"), "rb") as b:
                    expect(a.read() == b.read(), "%s: %s differs" % (label, name))
        with open(os.path.join(lab.folders[0], "autorun.scr")) as f:
            expect(f.read() == LAB_SCRIPT, "lab-one's script")
        expect(not os.path.exists(os.path.join(lab.folders[1], "autorun.scr")), "lab-two kept")
        for (name, mac, _, address, gateway), disk in zip(PCS, disks):
            check_router_disk(disk, ORDER, tmp, address_script(mac.upper(), address, gateway),
                              kept=False)
        systems = run_side_by_side(
            *[lambda disk=disk, name=name: boot_installed_disk(disk, name=name + "-up")
              for (name, *_), disk in zip(PCS, disks)])
        for system in systems:
            expect(system.packages == sorted(ORDER), "the installed system reports %r" % system)
    print("fleet_install: ok")


run_scenario(main)
