#!/usr/bin/env bash
# Installs the Debian packages the build needs, or says which to install.
set -euo pipefail

packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev tshark
          g++-mingw-w64-x86-64 python3-pefile clang libclang-rt-dev)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # tshark asks whether ordinary users may capture; captures here are files.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
else
    echo "missing Debian packages; install them with:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
