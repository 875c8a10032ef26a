#!/usr/bin/env bash
# Installs the Debian packages the build, the simulated Mac and the tests need, and any further
# packages named as arguments (the benchmarks and the fuzzers add theirs this way).
# Safe to run again: it only calls apt-get when something is missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config clang-format
    libcli11-dev libpugixml-dev libexpat1-dev libplist-dev libplist-utils
    libcurl4-openssl-dev libcpp-httplib-dev libssl-dev libarchive-dev
    qt6-base-dev qt6-base-dev-tools xvfb xauth xdotool imagemagick openbox x11-utils locales
    libgtest-dev libgmock-dev libbenchmark-dev
    "$@"
)

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
