"""Test PC: the network client (/TYPE "net") when things go wrong, a router
PC against this machine's peer on the segment.

1. A router whose only card is one the installer's drivers refuse (an
   8139C+): "no network card found" right after the banner, before any disk
   is looked for; ENTER restarts it; the disk stays blank.
2. A router without a disk: its card is opened, the disk search fails with
   its FATAL ERROR line, nothing is announced (no datagram of the
   installation protocol on the wire); ENTER restarts it.
3. A router whose floppy holds no label.txt (label "brindlex") whose server stops
   between two packages (the peer cannot open its third package and says
   nothing more): the router has installed the first two, waits 30 s for a
   further file header, sends "TERM" five times a second apart, completes
   the installation with what it has (no script, /CDINSTALL), and at
   "Press ENTER to reboot" a key sends "TERM" again and restarts it without
   a further prompt. The disk then boots, with those two packages.
4. A router behind a bad link: the relay drops 5 % of the frames, doubles
   2 % and reorders 2 %, both ways. Every package arrives once, in its own
   unpacker run, and byte for byte (every file on the disk as the package
   holds it); the script is exactly what the peer sent.
"""

import os
import re
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdrom_install import UNPACKER_LINE, debugfs_stat  # noqa: E402
from floppy_set_faults import expect, read_file, root_location  # noqa: E402
from floppy_set_install import check_installed, check_records  # noqa: E402
from remote_install import (SCRIPT, check_package_files, host_program,  # noqa: E402
                            samples_source)
from testpc import (ENTER, Segment, TestPC, Timeout, boot_installed_disk,  # noqa: E402
                    is_blank, make_disk_image, make_fat_floppy, run_scenario, wire_datagrams)

ROUTER_MAC = "52:54:00:00:0C:01"
BANNER = "Welcome to Brindlex Router Software remote installation\nPress Ctrl-Alt-Delete to abort\n"


def samples_dir():
    return os.path.join(os.environ["BRINDLEX_HOST_DIR"], "samples", "packages")


def restart_after_enter(pc):
    pc.send(ENTER)
    pc.expect("\nRebooting...", 30)
    pc.wait_restart(60)


def no_usable_card(tmp):
    disk = make_disk_image(os.path.join(tmp, "no-card.img"), 100)
    with TestPC("net_no_card", type_text="net\n", disks=[disk],
                nics=[("rtl8139", ROUTER_MAC.lower())]) as pc:
        pc.start()
        before = pc.expect("\nFATAL ERROR: no network card found\n", 180)
        expect(before.endswith(BANNER), "not right after the banner: %r" % before)
        pc.expect("Press ENTER to reboot", 30)
        expect("harddrive" not in pc.console_text(), "a disk was looked for")
        restart_after_enter(pc)
    expect(is_blank(disk), "the disk was written")
    print("ok: no usable card")


def no_disk(tmp):
    pcap = os.path.join(tmp, "no-disk.pcap")
    with Segment("nodisk", ports=1, pcap=pcap) as segment:
        with TestPC("net_no_disk", type_text="net\n",
                    nics=[("e1000", ROUTER_MAC.lower(), segment)]) as pc:
            pc.start()
            before = pc.expect("\nFATAL ERROR: no harddrives found\n", 180)
            expect(before.endswith(BANNER + "\nLooking for harddrives...\n"),
                   "not the disk search: %r" % before)
            pc.expect("Press ENTER to reboot", 30)
            text = pc.console_text()
            expect("mac-address" not in text and "Waiting" not in text, "went on announcing")
            # Long enough for announcements to show, had there been any.
            pc.quiet(3)
            restart_after_enter(pc)
        segment.counters()
    sent = [d for d in wire_datagrams(pcap) if d.src == ROUTER_MAC]
    expect(not sent, "the router sent %d datagrams" % len(sent))
    print("ok: no disk")


def server_stops_between_packages(tmp):
    packages = samples_dir()
    files = [os.path.join(packages, "kernel.vpk"), os.path.join(packages, "system.vpk"),
             os.path.join(tmp, "gone", "routing.vpk")]
    disk = make_disk_image(os.path.join(tmp, "hda.img"), 400)
    # A floppy without label.txt: the emulated drive left empty keeps the
    # kernel's floppy driver retrying for many minutes.
    floppy = make_fat_floppy(os.path.join(tmp, "nolabel.img"), {"readme.txt": "no label\n"})
    pcap = os.path.join(tmp, "stops.pcap")
    with Segment("stops", ports=1, host_peer=True, pcap=pcap) as segment:
        server = segment.start_peer(["--server", "--listen-seconds", "300"] + files)
        with TestPC("net_server_stops", type_text="net\n", disks=[disk], floppy=floppy,
                    nics=[("e1000", ROUTER_MAC.lower(), segment)]) as pc:
            pc.start()
            pc.expect(BANNER, 120)
            pc.expect("\nFound harddrive as IDE Primary master (disk C)\n", 120)
            heard = server.expect("Formating and partitioning harddisk...", 180)
            expect("router %s (brindlex)" % ROUTER_MAC in heard, "the peer heard: %r" % heard)
            server_mac = re.search(r"on the interface (\S+)", heard).group(1)
            pc.expect("\nmac-address: %s\ndisk label: brindlex\n"
                      "\nWaiting for installation server...\nFound server at %s\n\n"
                      % (ROUTER_MAC, server_mac), 30)
            server.expect("Transfering: system.vpk...", 300)
            server.expect("FATAL ERROR: Open package failed", 300)
            expect(server.wait(30) == 1, "the peer: %s" % server.text())
            unpacked = pc.expect("Checking disk integrity...", 300)
            runs = UNPACKER_LINE.findall(unpacked)
            expect([r[0] for r in runs] == ["kernel", "system"] and
                   all(done == total for _, done, total in runs), "unpacker runs %r" % runs)
            expect("Writing configuration" not in unpacked and "ERROR" not in unpacked,
                   "after the packages: %r" % unpacked)
            pc.expect("\nSoftware installed.\nPress ENTER to reboot\n", 120)
            pc.quiet(2)
            pc.send("x")
            rest = pc.expect("\nRebooting...", 60)
            expect("Press ENTER" not in rest, "asked again: %r" % rest)
            pc.wait_restart(60)
        segment.counters()

    datagrams = wire_datagrams(pcap)
    from_server = [d for d in datagrams if d.src == server_mac]
    terms = [d for d in datagrams if d.src == ROUTER_MAC and d.tag() == "TERM"]
    expect(len(terms) == 10, "the router's TERMs: %d" % len(terms))
    waited = terms[0].at - from_server[-1].at
    expect(30 <= waited < 60, "TERM %.1f s after the server's last datagram" % waited)
    gaps = [b.at - a.at for a, b in zip(terms[:5], terms[1:5])]
    expect(all(0.8 < g < 2.0 for g in gaps), "TERMs while no header comes: gaps %r" % gaps)
    expect(all(t.seq == terms[0].seq for t in terms), "TERMs of different numbers")

    location = root_location(disk)
    expect(debugfs_stat(location, "/CDINSTALL") == (0o600, 0), "/CDINSTALL missing or wrong")
    expect(read_file(location, "/autorun.scr") is None, "a script was written")
    system = boot_installed_disk(disk, name="net_server_stops-up")
    expect(system.packages == ["kernel", "system"], "the installed system reports %r" % system)
    print("ok: server stops between packages (waited %.1f s)" % waited)


def bad_link(tmp):
    names = ["system", "routing", "firewall", "webadmin"]
    files = [os.path.join(samples_dir(), name + ".vpk") for name in names]
    script = SCRIPT % ROUTER_MAC
    disk = make_disk_image(os.path.join(tmp, "lossy.img"), 400)
    floppy = make_fat_floppy(os.path.join(tmp, "lossy-label.img"), {"label.txt": "lossy\n"})
    with Segment("lossy", ports=1, host_peer=True, seed=13, drop=5, duplicate=2,
                 reorder=2) as segment:
        server = segment.start_peer(["--server", "--listen-seconds", "300", "--script", script]
                                    + files)
        with TestPC("net_bad_link", type_text="net\n", disks=[disk], floppy=floppy,
                    nics=[("e1000", ROUTER_MAC.lower(), segment)]) as pc:
            pc.start()
            pc.expect("\nmac-address: %s\ndisk label: lossy\n" % ROUTER_MAC, 240)
            server.expect("Formating and partitioning harddisk...", 180)
            unpacked = pc.expect("Checking disk integrity...", 600)
            runs = UNPACKER_LINE.findall(unpacked)
            expect([r[0] for r in runs] == names and all(d == t for _, d, t in runs),
                   "unpacker runs %r" % runs)
            expect("Writing configuration...\n" in unpacked and "ERROR" not in unpacked,
                   "after the packages: %r" % unpacked)
            pc.expect("\nSoftware installed.\nPress ENTER to reboot\n", 120)
            pc.quiet(1)
            pc.send("x")
            pc.expect("\nRebooting...", 60)
            pc.wait_restart(60)
        # The router's TERM normally ends the server's side as well. When the
        # acknowledgement of the server's last block is lost and the TERM
        # comes before the repeat is answered, the server takes the TERM
        # for that acknowledgement and stays at "Press ENTER to reboot"
        # until its operator presses a key: the key ends it.
        try:
            status = server.wait(30)
        except Timeout:
            server.send("\n")
            status = server.wait(30)
        expect(status == 0, "the peer: %s" % server.text())
        counters = segment.counters()
    location = check_installed(disk, samples_source(), kept=False)
    check_records(location, host_program("brindlex-pkg"), samples_dir(), names)
    compared = check_package_files(location, names, tmp)
    expect(read_file(location, "/autorun.scr") == script.encode(), "the script differs")
    print("ok: bad link (%d entries as sent; relay: %s)" % (compared, counters.strip()))


def main():
    with tempfile.TemporaryDirectory() as tmp:
        no_usable_card(tmp)
        no_disk(tmp)
        server_stops_between_packages(tmp)
        bad_link(tmp)


run_scenario(main)
