"""The test PC: an emulated i386 PC on which the installer boots as init.

A scenario builds a TestPC, starts it, plays the operator on the serial
console (expect / send), changes media through the emulator's monitor and
waits for the verdict: the machine restarted, crashed, or hung. See
testpc/README.md for the whole interface and an example.

The parts, one concept each: base (errors, keys, the builds' folders),
channel (a byte stream read by a thread), media (disk, floppy and CD
images), segment (the network segment and its host peer), pc (one PC and
a scenario's verdict), installed (an installed disk booted), faults
(failing drives, a vanishing drive, the power cut). Scenarios
import everything from here: `from testpc import TestPC, ...`.

Python 3 standard library only.
"""

from .base import (BELL, CTRL_C, ENTER, SOURCE_DIR, Crashed, TestPCError, Timeout,
                   bootsys_dir, drive_path, host_dir)
from .channel import Channel
from .faults import (FaultyDrive, arm, arm_at, cut_power, cut_power_at, detach_drive,
                     drive_id, fail)
from .installed import (BOOT_FAILURES, SYSTEM_LINE, InstalledSystem,
                        boot_installed_disk)
from .media import (is_blank, make_cd_image, make_disk_image, make_fat_disk_image,
                    make_fat_floppy)
from .pc import (BOOT_DEVICES, DEFAULT_MEMORY_MB, IDE_POSITIONS, KERNEL_OPTIONS,
                 PCConfig, TestPC, run_scenario, run_side_by_side, write_sercon_port)
from .segment import (NIC_MODELS, Peer, Segment, WireDatagram, claim_segment_port,
                      nic_options, release_segment_port, segment_ports, wire_datagrams)

__all__ = [
    "arm",
    "arm_at",
    "BELL",
    "BOOT_DEVICES",
    "BOOT_FAILURES",
    "boot_installed_disk",
    "bootsys_dir",
    "Channel",
    "claim_segment_port",
    "Crashed",
    "CTRL_C",
    "cut_power",
    "cut_power_at",
    "detach_drive",
    "DEFAULT_MEMORY_MB",
    "drive_id",
    "drive_path",
    "ENTER",
    "fail",
    "FaultyDrive",
    "host_dir",
    "IDE_POSITIONS",
    "InstalledSystem",
    "is_blank",
    "KERNEL_OPTIONS",
    "make_cd_image",
    "make_disk_image",
    "make_fat_disk_image",
    "make_fat_floppy",
    "NIC_MODELS",
    "nic_options",
    "PCConfig",
    "Peer",
    "release_segment_port",
    "run_scenario",
    "run_side_by_side",
    "Segment",
    "segment_ports",
    "SOURCE_DIR",
    "SYSTEM_LINE",
    "TestPC",
    "TestPCError",
    "Timeout",
    "wire_datagrams",
    "WireDatagram",
    "write_sercon_port",
]
