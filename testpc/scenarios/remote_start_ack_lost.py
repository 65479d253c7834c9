"""Test PCs: a remote installation whose one acknowledgement of the
router's "STRT" is lost on the segment.

The server PC boots the installation CD (the sample packages, all chosen,
'r'); the router PC boots into the network installation. The segment's
relay drops the single frame that holds the server's bare acknowledgement
of the start (seq 2, ack 3): the router hears the first file header as the
answer to its start, keeps it as the first file and acknowledges it, so
the transfer goes on as usual. Both screens show the whole installation
(every package in its own unpacker run, the script, no error), the relay
dropped exactly that one frame, the router's disk holds every file of every
package, the script and /CDINSTALL, and it boots into the installed system.
"""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdrom_install import make_install_cd  # noqa: E402
from floppy_set_faults import expect  # noqa: E402
from remote_install import (CABLED_MAC, LABEL, ORDER, SCRIPT, check_router_disk,  # noqa: E402
                            install_router, label_floppy, router_pc, sample_packages,
                            server_cd_pc)
from testpc import Segment, boot_installed_disk, make_disk_image, run_scenario  # noqa: E402

PROCESSORS = 2

# The protocol header begins 42 bytes into the Ethernet frame; bytes 12 to
# 19 of a bare acknowledgement are flags (1), kind (0), payload length (0),
# seq and ack, little-endian: the server's acknowledgement of the start.
START_ACK = "1@54=0100000002000300"


def main():
    with tempfile.TemporaryDirectory() as tmp:
        iso = make_install_cd(tmp, sample_packages())
        server_disk = make_disk_image(os.path.join(tmp, "server.img"), 100)
        disk = make_disk_image(os.path.join(tmp, "router.img"), 400)
        floppy = label_floppy(tmp)
        with Segment("startack", ports=2, drop_frames=[START_ACK]) as segment:
            server = server_cd_pc("start_ack_server", iso, server_disk, segment)
            try:
                server.expect("Welcome to Brindlex Router Software installation", 120)
                server.expect("system (depends on kernel):", 30)
                server.send("a")
                with router_pc("start_ack_router", disk, segment, floppy) as router:
                    install_router(server, router, LABEL, keep=False)
                    expect("FATAL" not in router.console_text(), "the router failed")
            except Exception:
                server.report()
                raise
            finally:
                server.close()
            report = segment.counters()
        expect(", 1 dropped," in report, "the relay: %r" % report)
        _, compared = check_router_disk(disk, ORDER, tmp, SCRIPT % CABLED_MAC, kept=False)
        print("%d entries of %d packages as sent" % (compared, len(ORDER)))
        system = boot_installed_disk(disk, name="start_ack_router-up")
        expect(system.packages == sorted(ORDER), "the installed system reports %r" % system)


if __name__ == "__main__":
    run_scenario(main)
