#pragma once

// The boot program that goes into bytes 0 to 183 of the disk's master boot
// record: a real-mode chain loader that starts the active partition's boot
// sector. It is assembled from disk/boot_program16.s when the installer is
// built; unused bytes at its end are zero.
extern const unsigned char boot_program[184];
