#!/bin/sh
# fetch_debian_tools.sh DIR: puts the i386 programs of the sample system
# package into DIR: DIR/busybox (the shell, static) and DIR/e2fsck (the
# file-system checker, static), taken from Debian's i386 packages with
# apt-get download. Already fetched files are kept.
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"
[ -x busybox ] && [ -x e2fsck ] && exit 0

rm -rf debs extract
mkdir -p debs extract
cd debs
if ! apt-get download busybox-static:i386 e2fsck-static:i386 >../download.log 2>&1; then
    # The package lists may be missing or old on a fresh machine.
    apt-get update >>../download.log 2>&1 || true
    apt-get download busybox-static:i386 e2fsck-static:i386 >>../download.log 2>&1 || {
        cat ../download.log >&2
        echo "fetch_debian_tools.sh: cannot download busybox-static:i386 and e2fsck-static:i386" \
             "(is the i386 architecture added? dpkg --add-architecture i386)" >&2
        exit 1
    }
fi
for deb in *.deb; do dpkg-deb -x "$deb" ../extract; done
cd ..
cp extract/bin/busybox busybox.new
cp extract/sbin/e2fsck.static e2fsck.new
chmod 755 busybox.new e2fsck.new
mv busybox.new busybox
mv e2fsck.new e2fsck
rm -rf debs extract
