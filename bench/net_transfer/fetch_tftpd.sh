#!/bin/sh
# bench/net_transfer/fetch_tftpd.sh DIR: the reference server of the
# transfer benchmark, tftp-hpa's in.tftpd, unpacked from Debian's packages
# into DIR (apt-get download; nothing is installed, no service is started).
# Prints the program's path; run it with LD_LIBRARY_PATH=DIR/lib.
set -eu
[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
mkdir -p "$1"
dir=$(cd "$1" && pwd)
cd "$dir"
if [ ! -x "$dir/root/usr/sbin/in.tftpd" ]; then
    apt-get download -q tftpd-hpa libwrap0 >/dev/null
    for deb in tftpd-hpa_*.deb libwrap0_*.deb; do dpkg-deb -x "$deb" "$dir/root"; done
fi
mkdir -p "$dir/lib"
for lib in "$dir"/root/lib/*/libwrap.so.0* "$dir"/root/usr/lib/*/libwrap.so.0*; do
    [ -e "$lib" ] && cp -P "$lib" "$dir/lib/"
done
echo "$dir/root/usr/sbin/in.tftpd"
