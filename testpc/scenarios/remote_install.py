"""Test PCs: one router installs another over the network, two PCs on one
emulated segment through the lab's relay.

The server PC boots the installation CD that brindlex-make-cd made (the
sample packages) through its BIOS; every package is chosen in its menu and
the operator presses 'r'. The router PC boots the boot system with /TYPE
"net", a blank disk, two network cards of different models (only the
second one in the kernel's order is cabled to the segment) and a FAT floppy
whose label.txt reads " lab router".

Run 1: the router shows its two MAC addresses, the disk label "labrouter"
and waits; the server lists it once, with its label, under the MAC of its
cabled card; the operator picks it and answers n, 10.0.0.2, Enter (24),
0.0.0.0, Enter (9600). Both screens show their texts in order; the router
prepares its disk, installs every package in its own unpacker run, writes
the configuration script, and once the server's operator presses a key
("TERM") restarts without asking. On the host: every file of every package
on the router's disk as the package holds it, the unpacker's records,
/autorun.scr exactly the five-line script with the MAC of the card the
offer came in on, /CDINSTALL empty with mode 0600, a clean file system.

Run 2: the host puts a file below /vyre/store; the router boots again, the
server (back in its menu) installs it once more and the operator answers y
to "Keep config?": the offer carries "keep", the configuration file is
empty (its header acknowledged twice) and ends the transfer, no script is
written, the old configuration is back; the installed disk boots and
reports it.
"""

import os
import re
import stat
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdrom_install import UNPACKER_LINE, debugfs_stat, make_install_cd  # noqa: E402
from floppy_set_faults import debugfs, expect, read_file  # noqa: E402
from floppy_set_install import check_installed, check_records  # noqa: E402
from testpc import (ENTER, Segment, TestPC, boot_installed_disk, make_disk_image,  # noqa: E402
                    make_fat_floppy, run_scenario, wire_datagrams)

ORDER = ["kernel", "system", "routing", "firewall", "webadmin"]
SERVER_MAC = "52:54:00:00:0D:01"
# The router's cards: model, MAC, cabled to the segment.
ROUTER_CARDS = [("pcnet", "52:54:00:00:0D:11", False), ("e1000", "52:54:00:00:0D:12", True)]
CABLED_MAC = "52:54:00:00:0D:12"
LABEL = "labrouter"
BANNER = "Welcome to Brindlex Router Software remote installation\nPress Ctrl-Alt-Delete to abort\n"
# Answers n, 10.0.0.2, Enter (24), 0.0.0.0, Enter (9600).
SCRIPT = (":local eth\n"
          ":set eth [/interface ethernet get [/interface ethernet find mac-address=%s] name]\n"
          "/interface enable $eth\n"
          "/ip address add address=10.0.0.2/24 interface=$eth\n"
          "/port set [/port find] baud-rate=9600\n")


def host_program(name):
    return os.path.join(os.environ["BRINDLEX_HOST_DIR"], "bin", name)


def samples_source():
    return os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "samples")


def sample_packages():
    return os.path.join(os.environ["BRINDLEX_HOST_DIR"], "samples", "packages")


def label_floppy(tmp, text=" lab router\n"):
    return make_fat_floppy(os.path.join(tmp, "label.img"), {"label.txt": text})


def router_pc(name, disk, segment, floppy=None, cards=ROUTER_CARDS):
    nics = [(model, mac.lower(), segment) if cabled else (model, mac.lower())
            for model, mac, cabled in cards]
    pc = TestPC(name, type_text="net\n", disks=[disk], floppy=floppy, nics=nics)
    pc.start()
    return pc


def server_cd_pc(name, iso, disk, segment, mac=SERVER_MAC):
    """The server: the installation CD booted through the BIOS on a PC with
    a disk of its own (the CD-ROM mode looks for one first) and one card."""
    pc = TestPC(name, disks=[disk], cdrom=iso, boot_from="cdrom", memory_mb=128,
                nics=[("e1000", mac.lower(), segment)])
    pc.start()
    pc.boot_entry("serial")
    return pc


def router_waits(pc, label, macs, server_mac):
    """The router's screen from its banner to "Found server at"."""
    pc.expect(BANNER, 120)
    pc.expect("\nFound harddrive as IDE Primary master (disk C)\n", 180)
    shown = pc.expect("\nWaiting for installation server...\n", 120)
    listed = re.findall(r"mac-address: (\S+)\n", shown)
    expect(sorted(listed) == sorted(macs), "mac-address lines %r" % listed)
    expect(shown == "\n" + "".join("mac-address: %s\n" % m for m in listed)
           + "disk label: %s\n" % label, "before waiting: %r" % shown)
    between = pc.expect("Found server at %s\n\n" % server_mac, 300)
    expect(between == "", "while waiting: %r" % between)


def router_list(pc):
    """The last drawing of the server's router list: (MAC, label,
    highlighted) from the top."""
    last = pc.console_text().rsplit("Found ", 1)[-1]
    return [(mac, label, bool(reverse)) for reverse, mac, label in
            re.findall(r"\x1b\[2K(\x1b\[m\x1b\[7m)? ([0-9A-F:]{17}) \((.*?)\) \n", last)]


def pick_router(pc, router_mac, label, routers=1):
    """In the server's menu: 'r', the router list (routers entries), the
    highlight moved to router_mac, ENTER."""
    pc.send("r")
    pc.expect("Looking for routers on 1 interface...", 60)
    pc.expect("Found %d router%s: \n\n" % (routers, "" if routers == 1 else "s"), 300)
    # The announcements go on every second; the list stays as it is.
    pc.quiet(3)
    entries = router_list(pc)
    expect(len(entries) == routers and (router_mac, label) in [e[:2] for e in entries],
           "the list: %r" % entries)
    expect("Found %d" % (routers + 1) not in pc.console_text(), "listed twice")
    at = [e[2] for e in entries].index(True)
    to = [e[0] for e in entries].index(router_mac)
    for _ in range(abs(to - at)):
        pc.send("n" if to > at else "p")
        pc.quiet(0.5)
    expect(router_list(pc)[to][2], "the highlight is not on %s" % router_mac)
    pc.send(ENTER)
    return entries


def answer_questions(pc, keep):
    pc.expect("Keep config? [y/n]:", 60)
    if keep:
        pc.send("y")
        return
    pc.send("n")
    for prompt, keys in (("Enter routers IP address: ", "10.0.0.2\r"),
                         ("Enter routers netmask bit count: ", "\r"),
                         ("Enter routers default gateway address: ", "0.0.0.0\r"),
                         ("Enter serial console baud rate: ", "\r")):
        pc.expect(prompt, 30)
        pc.send_keys(keys, 0.1)


def server_sends(pc, names, timeout=900):
    """The server's lines from the offer to "Press ENTER to reboot"."""
    pc.expect("\n\nSending offer...\n", 60)
    before = pc.expect("Formating and partitioning harddisk...\n", 60)
    expect(before == "", "after the offer: %r" % before)
    sent = pc.expect("Transfering: configuration...\n", timeout)
    expect(sent == "".join("Transfering: %s.vpk...\n" % n for n in names),
           "transfers: %r" % sent)
    after = pc.expect("Press ENTER to reboot\n", 120)
    expect(after == "\nSoftware installed.\n", "after the transfers: %r" % after)


def router_installs(pc, names, keep, script):
    """The router's screen from the disk preparation to "Press ENTER to
    reboot"; returns the unpacker's part of it."""
    prepared = pc.expect("Formatting disk...", 300)
    expect("Creating partition..." in prepared, "no partitioning: %r" % prepared)
    expect(("Reading old configuration..." in prepared) == keep, "old configuration read?")
    unpacked = pc.expect("Checking disk integrity...", 900)
    runs = UNPACKER_LINE.findall(unpacked)
    expect([r[0] for r in runs] == names and all(d == t for _, d, t in runs),
           "unpacker runs %r" % runs)
    expect(("Writing configuration...\n" in unpacked) == script, "the script's line")
    expect(("Writing back old configuration..." in unpacked) == keep, "old configuration back?")
    expect("ERROR" not in unpacked, "an error: %r" % unpacked)
    pc.expect("\nSoftware installed.\nPress ENTER to reboot\n", 300)
    return unpacked


def server_ends(server, router):
    """A key on the server ends the conversation; the router restarts by
    itself, without asking for ENTER."""
    time.sleep(1)
    server.send("x")
    rest = router.expect("\nRebooting...", 60)
    # (and the cursor shown again)
    expect(re.fullmatch(r"resend ack: \d+\n(\x1b\[\?25h)?", rest), "the router's end: %r" % rest)
    router.wait_restart(60)


def install_router(server, router, label, keep, cards=ROUTER_CARDS, server_mac=SERVER_MAC,
                   routers=1):
    """One whole remote installation as both screens show it: the router
    picked by its cabled card from the server's list (routers entries), the
    questions answered, every package sent and installed, the server's key
    at the end. Returns the list's entries."""
    cabled = [mac for _, mac, on_segment in cards if on_segment][0]
    entries = pick_router(server, cabled, label, routers)
    answer_questions(server, keep)
    router_waits(router, label, [mac for _, mac, _ in cards], server_mac)
    server_sends(server, ORDER)
    router_installs(router, ORDER, keep=keep, script=not keep)
    server_ends(server, router)
    return entries


def check_package_files(location, names, tmp):
    """Every directory, file and link of every package on the disk as the
    package holds it: the packages unpacked here, compared with the disk."""
    expected = os.path.join(tmp, "expected")
    dumped = os.path.join(tmp, "dumped")
    subprocess.run(["rm", "-rf", expected, dumped], check=True)
    os.makedirs(expected)
    os.makedirs(dumped)
    for name in names:
        with open(os.path.join(sample_packages(), name + ".vpk"), "rb") as package:
            subprocess.run([host_program("brindlex-unpack"), "-q", "-r", expected, "-"],
                           stdin=package, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["rm", "-rf", os.path.join(expected, "var", "pdb")], check=True)
    debugfs(location, "rdump / %s" % dumped)
    compared = 0
    for folder, dirs, files in os.walk(expected):
        for entry in dirs + files:
            want = os.path.join(folder, entry)
            got = os.path.join(dumped, os.path.relpath(want, expected))
            w, g = os.lstat(want), os.lstat(got) if os.path.lexists(got) else None
            expect(g is not None and stat.S_IFMT(w.st_mode) == stat.S_IFMT(g.st_mode) and
                   stat.S_IMODE(w.st_mode) == stat.S_IMODE(g.st_mode),
                   "%s: not as in the package" % got)
            if stat.S_ISLNK(w.st_mode):
                expect(os.readlink(want) == os.readlink(got), "link %s differs" % got)
            elif stat.S_ISREG(w.st_mode):
                with open(want, "rb") as a, open(got, "rb") as b:
                    expect(a.read() == b.read(), "%s differs" % got)
            compared += 1
    subprocess.run(["rm", "-rf", expected, dumped], check=True)
    return compared


def check_router_disk(disk, names, tmp, script, kept):
    location = check_installed(disk, samples_source(), kept=kept)
    check_records(location, host_program("brindlex-pkg"), sample_packages(), names)
    compared = check_package_files(location, names, tmp)
    expect(debugfs_stat(location, "/CDINSTALL") == (0o600, 0), "/CDINSTALL missing or wrong")
    expect(read_file(location, "/autorun.scr") == (script.encode() if script else None),
           "/autorun.scr: %r" % read_file(location, "/autorun.scr"))
    return location, compared


def main():
    with tempfile.TemporaryDirectory() as tmp:
        iso = make_install_cd(tmp, sample_packages())
        server_disk = make_disk_image(os.path.join(tmp, "server.img"), 100)
        disk = make_disk_image(os.path.join(tmp, "router.img"), 400)
        floppy = label_floppy(tmp)
        pcap = os.path.join(tmp, "segment.pcap")
        with Segment("remote", ports=2, pcap=pcap) as segment:
            server = server_cd_pc("remote_server", iso, server_disk, segment)
            try:
                server.expect("Welcome to Brindlex Router Software installation", 120)
                server.expect("system (depends on kernel):", 30)
                server.send("a")

                # Run 1: a blank disk, the configuration asked for.
                with router_pc("remote_router", disk, segment, floppy) as router:
                    started = time.monotonic()
                    install_router(server, router, LABEL, keep=False)
                    took = time.monotonic() - started
                location, compared = check_router_disk(disk, ORDER, tmp, SCRIPT % CABLED_MAC,
                                                       kept=False)
                print("run 1: %d entries of %d packages as sent, %.0f s" %
                      (compared, len(ORDER), took))

                # Run 2: the same router, its old configuration kept.
                marker = os.path.join(tmp, "marker")
                with open(marker, "w") as f:
                    f.write("kept across the network installation\n")
                debugfs(location, "mkdir /vyre/store", write=True)
                debugfs(location, "write %s /vyre/store/marker" % marker, write=True)
                # Back in the menu, which starts again from the medium's defaults.
                server.expect("system (depends on kernel):", 60)
                server.send("a")
                with router_pc("remote_router_keep", disk, segment, floppy) as router:
                    install_router(server, router, LABEL, keep=True)
                server.expect("system (depends on kernel):", 60)
            except Exception:
                server.report()
                raise
            finally:
                server.close()
            segment.counters()

        location, _ = check_router_disk(disk, ORDER, tmp, None, kept=True)
        expect(read_file(location, "/vyre/store/marker") ==
               b"kept across the network installation\n", "the kept configuration is gone")
        check_wire(wire_datagrams(pcap))
        system = boot_installed_disk(disk, name="remote_router-up")
        expect(system.packages == sorted(ORDER) and system.kept_configuration == ["marker"],
               "the installed system reports %r" % system)


def check_wire(datagrams):
    """The two offers (the second with "keep"), and the empty configuration
    file of run 2 acknowledged twice by the router."""
    offers = [d for d in datagrams if d.src == SERVER_MAC and d.tag() == "OFFR"]
    expect([d.payload for d in offers[:1] + offers[-1:]] ==
           [b"OFFR\n\n\0", b"OFFR\n\nkeep\n\0"], "offers: %r" % [d.payload for d in offers])
    headers = [d for d in datagrams if d.src == SERVER_MAC and d.tag() == "FILE"]
    last = headers[-1]
    expect(last.payload == b"FILE\nautorun.scr\n0\n", "last file header %r" % last.payload)
    acks = [d for d in datagrams if d.src == CABLED_MAC and d.tag() == "ack" and
            d.ack == last.seq and d.at >= last.at]
    expect(len(acks) >= 2, "the empty file's header acknowledged %d times" % len(acks))
    expect(not [d for d in datagrams if d.src == SERVER_MAC and d.tag() == "data" and
                d.at > last.at], "data after the empty configuration file")


if __name__ == "__main__":
    run_scenario(main)
