#!/usr/bin/env bash
# Installs what the benchmarks need besides the build's own packages: the peers they are
# measured against (curl, python3's plistlib, libplist's plistutil) and the profilers used to
# find out why a figure falls short (perf, valgrind's callgrind, hyperfine, GNU time).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bash "$here/../scripts/deps.sh" curl python3 libplist-utils hyperfine linux-perf valgrind time
