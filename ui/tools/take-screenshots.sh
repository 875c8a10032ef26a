#!/usr/bin/env bash
# Takes screenshots of the real program's window in each state, on simulated Macs served by a
# local update server, under a virtual X display managed by openbox. Needs xvfb-run, openbox,
# xdotool and ImageMagick.
#
#   ui/tools/take-screenshots.sh BUILD_DIR OUT_DIR
#
# OUT_DIR receives one folder of frames per run (taken every moment until the run ends, as
# the phases pass quickly); pick the frames that show each state.
set -euo pipefail

if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

build=$(realpath "$1")
out=$(realpath -m "$2")
sim="$build/bin/vantrel-sim"
work=$(mktemp -d)
server=""
wm=""
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
    [ -n "$wm" ] && kill "$wm" 2>/dev/null && wait "$wm" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$out"

# The window manager, ready when its start-up command has run.
mkfifo "$work/wm-ready"
HOME="$work" openbox --sm-disable --startup "/bin/sh -c 'echo > $work/wm-ready'" &
wm=$!
read -r -t 30 _ <"$work/wm-ready"

"$sim" mirror "$work/mirror" --release 'Catalina size=3GiB shape=large' --products 4 >/dev/null
"$sim" serve "$work/mirror" --port 0 --cert-out "$work/cert.pem" >"$work/serve.out" &
server=$!
for _ in $(seq 100); do
    url=$(head -n1 "$work/serve.out" 2>/dev/null || true)
    [ -n "$url" ] && break
    sleep 0.1
done

# Runs the program on a fresh Mac and takes a frame of the window (with its frame, centred
# on the screen) every moment until it ends or `limit` frames are taken; then it is stopped.
frames() {
    local name=$1 limit=$2 setup=$3
    shift 3
    local mac="$work/mac-$name"
    local program
    program=$("$sim" create "$mac" --console-user alice --user-name root \
        --catalog-server "$url" --trust-cert "$work/cert.pem")
    eval "$setup"
    mkdir -p "$out/$name"
    "$program" "$@" >"$out/$name/output.txt" 2>&1 &
    local pid=$! i=0
    timeout 60 xdotool search --sync --onlyvisible --name '^Vantrel$' >/dev/null || true
    while kill -0 "$pid" 2>/dev/null && [ "$i" -lt "$limit" ]; do
        import -window root -crop 640x232+192+272 +repage "$out/$name/$(printf %03d "$i").png" \
            2>/dev/null || true
        i=$((i + 1))
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

# Download, assembly and preparation, erase confirmed in advance.
frames cache-install 1500 : --action install cache --osname Catalina --erase --noverify
# The erase confirmation waits for the code.
frames sheet 8 '"$sim" add-installer "$mac" --release Catalina --build 19H15 >/dev/null' \
    --action install --osname Catalina --erase
# startosinstall refuses before any progress: the bar stops, the message stays.
frames refused 8 '"$sim" add-installer "$mac" --release Catalina --build 19H15 >/dev/null;
    "$sim" refuse "$mac" --message "Not enough space to prepare the installation." >/dev/null' \
    --action install --osname Catalina
# No installer at all: the window waits to be closed.
frames no-installer 8 : --action install --osname Catalina --showcancel
