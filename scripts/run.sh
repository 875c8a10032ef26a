#!/usr/bin/env bash
# Builds Vantrel (without sanitizers, in build-release/), makes a fresh simulated Mac in a
# temporary folder with nobody at the console and an installer of the release in
# /Applications, runs the program's install action on it headless, and shows what happened:
# the program's output and how it ended, the installation the Mac recorded, and the log.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)

RELEASE=${RELEASE:-Catalina}
BUILD=${BUILD:-19H15}
# The program's command line for this run.
ACTION=(--action install --osname "$RELEASE" --erase)

bash scripts/deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_TESTS=OFF >/dev/null
cmake --build build-release -j2
sim="$root_dir/build-release/bin/vantrel-sim"

mac=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-mac-XXXXXX")
program=$("$sim" create "$mac")
installer=$("$sim" add-installer "$mac" --release "$RELEASE" --build "$BUILD")

section() { printf '\n== %s\n' "$1"; }
section "Simulated Mac: $mac"
echo "installer placed at $installer; nobody logged in at the console"
section "Running: Vantrel ${ACTION[*]}"
set +e
"$program" "${ACTION[@]}"
status=$?
set -e
if ((status > 128)); then
    echo "(Vantrel ended by signal $(kill -l $((status - 128))): the Mac restarted into the installer)"
else
    echo "(Vantrel exited with status $status)"
fi

section "Installation recorded by the Mac ($mac/private/var/db/vantrel-sim/installation.plist)"
cat "$mac/private/var/db/vantrel-sim/installation.plist" 2>/dev/null || echo "none"
section "Installer applications now on the Mac"
(cd "$mac" && find Applications "Library/Application Support" -maxdepth 2 -name '*.app')
section "Log ($mac/private/var/log/vantrel.log)"
cat "$mac/private/var/log/vantrel.log"
echo
echo "The simulated Mac stays in $mac for a closer look (rm -rf it when done)."
