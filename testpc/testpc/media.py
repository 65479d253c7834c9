"""The test PC's media: sparse disk images, FAT floppies and whole-disk
FAT volumes (mkfs.vfat, mtools) and ISO 9660 images (xorriso)."""

import os
import subprocess
import tempfile


def make_disk_image(path, size_mb):
    """Creates a sparse raw IDE disk image of size_mb MiB."""
    with open(path, "wb") as f:
        f.truncate(size_mb * 1024 * 1024)
    return path


def is_blank(path):
    """True when the image holds nothing but zero bytes."""
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                return True
            if block.count(0) != len(block):
                return False


def make_fat_floppy(path, files=None, size_kb=1440, label=None):
    """Creates a FAT floppy image holding files ({name: bytes or str}).

    Names may contain '/' for subfolders."""
    with open(path, "wb") as f:
        f.truncate(size_kb * 1024)
    cmd = ["mkfs.vfat"]
    if label:
        cmd += ["-n", label]
    subprocess.run(cmd + [path], check=True, stdout=subprocess.DEVNULL)
    _copy_into_fat(path, files or {})
    return path


def make_fat_disk_image(path, size_mb, files=None):
    """Creates a disk image that is one whole-disk FAT volume (no partition
    table), as the installer mounts /dev/hdX directly."""
    make_disk_image(path, size_mb)
    subprocess.run(["mkfs.vfat", "-I", path], check=True, stdout=subprocess.DEVNULL)
    _copy_into_fat(path, files or {})
    return path


def _copy_into_fat(image, files):
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    made = set()
    with tempfile.TemporaryDirectory() as tmp:
        for name, data in files.items():
            parts = name.strip("/").split("/")
            for i in range(1, len(parts)):
                folder = "/".join(parts[:i])
                if folder not in made:
                    subprocess.run(["mmd", "-i", image, "::" + folder], check=True, env=env)
                    made.add(folder)
            local = os.path.join(tmp, "f")
            with open(local, "wb") as f:
                f.write(data.encode("latin-1") if isinstance(data, str) else data)
            subprocess.run(["mcopy", "-o", "-i", image, local, "::" + "/".join(parts)],
                           check=True, env=env)


def make_cd_image(path, folder):
    """Creates an ISO 9660 image of the contents of folder."""
    subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-R", "-J", "-o", path, folder],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return path

