#!/usr/bin/python3
"""Starts the test PC by hand.

  python3 testpc/run_pc.py [--bootsys DIR] [--type TEXT | --type-raw TEXT]
      [--disk IMAGE]... [--cdrom IMAGE] [--floppy IMAGE] [--serial-only]
      [--init PATH] [--init-arg ARG]... [--memory MB] [--boot cdrom|disk|network]
      [--no-floppy-drive]
      [--console stdio | --console socket PATH] [--monitor PATH] [--log FILE]
      [--nic MODEL,MAC]... [--segment DIR]

The serial console is this terminal (Ctrl-C goes to the PC; leave with
Ctrl-A X) or a unix socket that the emulator waits on until another program
connects. The monitor, when asked for, is a unix socket (e.g. `change floppy0
FILE raw`). The log terminal (/dev/tty9) goes to FILE. The emulator ends
when the PC restarts or powers off (exit status 0) or crashes (1).

Network cards (--nic e1000,52:54:00:12:34:56; models e1000, ne2k_pci, pcnet,
i82557b, rtl8139) are joined to the segment whose relay serves DIR, each on
a port of its own; start the relay first, e.g. for two PCs of one card each:

  build/host/bin/brindlex-relay --segment /tmp/lab 2 --pcap /tmp/lab.pcap &
  python3 testpc/run_pc.py --nic e1000,52:54:00:00:00:01 --segment /tmp/lab ...
  python3 testpc/run_pc.py --nic pcnet,52:54:00:00:00:02 --segment /tmp/lab ...

Without --segment the cards are not connected to anything. --boot network
boots the first card's iPXE ROM (Debian's ipxe-qemu) from the segment's DHCP
and TFTP server, e.g. the installation server with --netboot on the relay's
tap port (README.md, "Booting a router from the network").
"""

import argparse
import codecs
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import testpc  # noqa: E402


def main():
    p = argparse.ArgumentParser(description="Start the test PC by hand.")
    p.add_argument("--bootsys", default=os.environ.get("BRINDLEX_BOOTSYS_DIR", "build/bootsys"),
                   help="folder with vmlinuz and initrd.gz (default build/bootsys)")
    p.add_argument("--type", help="/TYPE holds TEXT and a newline")
    p.add_argument("--type-raw", help="/TYPE holds exactly TEXT (backslash escapes allowed)")
    p.add_argument("--disk", action="append", default=[], help="IDE disk image (hda, hdb, ...)")
    p.add_argument("--cdrom", help="CD image on the secondary master (hdc)")
    p.add_argument("--floppy", help="floppy image in drive A")
    p.add_argument("--serial-only", action="store_true", help="no /dev/tty0")
    p.add_argument("--init", help="boot-system program to run as init instead of /sbin/init")
    p.add_argument("--init-arg", action="append", default=[], help="argument for init")
    p.add_argument("--boot", choices=("cdrom", "disk", "network"),
                   help="let the BIOS boot from the CD-ROM, the first disk or the first "
                        "network card (the medium's own boot loader, or the one the network "
                        "serves) instead of loading the boot system's kernel")
    p.add_argument("--no-floppy-drive", action="store_true", help="the PC has no floppy drive")
    p.add_argument("--memory", type=int, default=testpc.DEFAULT_MEMORY_MB, help="MiB")
    p.add_argument("--console", nargs="+", default=["stdio"], metavar="stdio|socket PATH")
    p.add_argument("--monitor", help="unix socket path for the monitor")
    p.add_argument("--log", help="file that receives the log terminal")
    p.add_argument("--nic", action="append", default=[], metavar="MODEL,MAC",
                   help="a network card (repeatable)")
    p.add_argument("--segment", metavar="DIR",
                   help="join the cards to the segment relay serving DIR")
    a = p.parse_args()

    type_text = None
    if a.type is not None:
        type_text = a.type + "\n"
    if a.type_raw is not None:
        type_text = codecs.decode(a.type_raw, "unicode_escape")
    nics = []
    for nic in a.nic:
        model, _, mac = nic.partition(",")
        nics.append((model, mac, a.segment) if a.segment else (model, mac))
    config = testpc.PCConfig(type_text, a.init_arg, a.disk, a.floppy, a.cdrom, a.serial_only,
                             a.init, a.memory, a.bootsys, boot_from=a.boot, nics=nics,
                             floppy_drive=not a.no_floppy_drive)
    if a.console == ["stdio"]:
        console = "stdio,signal=off"
    elif len(a.console) == 2 and a.console[0] == "socket":
        console = "socket,path=%s,server=on,wait=on" % a.console[1]
    else:
        p.error("--console takes stdio or socket PATH")
    log = "file,path=%s" % a.log if a.log else "null"
    monitor = "socket,path=%s,server=on,wait=off" % a.monitor if a.monitor else "null"
    with tempfile.TemporaryDirectory(prefix="run_pc-") as folder:
        command = config.qemu_command(console, log, monitor, testpc.write_sercon_port(folder))
        try:
            rc = subprocess.call(command)
        finally:
            for _, _, segment, port in config.nics:
                if segment is not None:
                    testpc.release_segment_port(segment, port)
    sys.exit(0 if rc == 0 else 1)


if __name__ == "__main__":
    main()
