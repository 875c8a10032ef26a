#!/usr/bin/env bash
# Installs what the benchmarks need besides the build's own packages: the peers they are
# measured against (curl, python3's plistlib, libplist's plistutil) and the profilers used to
# find out why a figure falls short (perf, valgrind's callgrind, hyperfine, GNU time).
# Safe to run again: it only calls apt-get when something is missing.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

bash "$here/../scripts/deps.sh"

packages=(curl python3 libplist-utils hyperfine linux-perf valgrind time)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
