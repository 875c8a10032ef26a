#!/usr/bin/env bash
# The main job on a simulated Mac: builds Vantrel (without sanitizers, in build-release/),
# makes a local software-update server (a mirror served over HTTPS on loopback with a
# certificate of its own) and a fresh simulated Mac with no installer and nobody at the
# console that trusts it, then runs
#     Vantrel --action install cache --osname Catalina --erase
# headless: catalog, selection, downloads, assembly, filing away, startosinstall to the
# restart. It runs the same command a second time, which finds the latest build cached and
# goes straight to the installation. It shows the program's output, how each run ended, the
# installation the Mac recorded, and the log.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)

RELEASE=${RELEASE:-Catalina}
ACTION=(--action install cache --osname "$RELEASE" --erase)

bash scripts/deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_TESTS=OFF >/dev/null
cmake --build build-release -j2
sim="$root_dir/build-release/bin/vantrel-sim"

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-run-XXXXXX")
mirror="$work/mirror"
mac="$work/mac"
server_pid=""
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

section() { printf '\n== %s\n' "$1"; }

section "Update server"
"$sim" mirror "$mirror" >/dev/null
"$sim" serve "$mirror" --port 0 --cert-out "$work/server.pem" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 1 100); do
    [ -s "$work/server.out" ] && break
    sleep 0.1
done
url=$(head -n 1 "$work/server.out")
[ -n "$url" ] || { echo "the update server did not start:"; cat "$work/server.err"; exit 1; }
echo "mirror in $mirror, served at $url"

section "Simulated Mac: $mac"
program=$("$sim" create "$mac" --catalog-server "$url" --trust-cert "$work/server.pem")
echo "no installer on it; nobody logged in at the console"

run_once() {
    section "Running: Vantrel ${ACTION[*]}"
    set +e
    "$program" "${ACTION[@]}"
    local status=$?
    set -e
    if ((status > 128)); then
        echo "(Vantrel ended by signal $(kill -l $((status - 128))): the Mac restarted into the installer)"
    else
        echo "(Vantrel exited with status $status)"
    fi
}

run_once
section "Installer applications now on the Mac"
(cd "$mac" && find Applications "Library/Application Support" -maxdepth 2 -name '*.app')
section "Installation recorded by the Mac"
cat "$mac/private/var/db/vantrel-sim/installation.plist" 2>/dev/null || echo "none"

# Again: the installer filed away has the catalog's build, so nothing is downloaded.
run_once

section "Log ($mac/private/var/log/vantrel.log)"
cat "$mac/private/var/log/vantrel.log"
echo
echo "The simulated Mac and the mirror stay in $work for a closer look (rm -rf it when done)."
