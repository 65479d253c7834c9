// The CD-ROM installation: the machine was booted from the installation
// CD-ROM, which carries the package files.
#pragma once

// Mount point of the installation medium (CD-ROM, image volume or floppy).
constexpr const char* MEDIUM_MOUNT_POINT = "/floppy";

// The devices probed for the CD-ROM, in order: every IDE position, the
// target disk included.
extern const char* const CDROM_DEVICES[4];

// Mounts the first of CDROM_DEVICES that mounts read-only as ISO 9660 on
// the medium's mount point; false when none does.
bool mount_cdrom();
