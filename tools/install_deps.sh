#!/bin/sh
# Installs the Debian packages the build and the tests need, when any is missing (needs root).
set -e
PACKAGES="cmake g++ make openssl libssl-dev python3-dev pybind11-dev python3-pyee python3-construct \
python3-pytest python3-pytest-timeout python3-pytest-xdist python3-hypothesis python3-requests \
python3-cryptography googletest libgtest-dev locales clang-format-14"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q $missing
