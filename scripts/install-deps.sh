#!/bin/sh
# Installs the Debian packages listed in debian-packages.txt that are missing.
set -eu
here=$(dirname "$0")
missing=""
for p in $(grep -v '^#' "$here/debian-packages.txt"); do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    missing="$missing update"
fi
if [ -n "$missing" ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "install-deps: missing packages:$missing (run as root)" >&2
        exit 1
    fi
    # A mirror caught mid-sync fails one index now and then; the install
    # below still fails loudly if a package we need cannot be found.
    apt-get update || echo "install-deps: apt-get update reported errors; going on with the indexes it has" >&2
    missing=$(echo "$missing" | sed 's/ update//')
    # tshark asks whether ordinary users may capture: they may not.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
    [ -z "$missing" ] || DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
fi
