#!/usr/bin/env bash
# The one benchmark command: bench/run.sh [--quick] [--only catalog] [--markdown FILE] [--keep]
#                                         [--workdir DIR]
#
# Installs the peers (bench/deps.sh), builds a Release tree with the benchmark drivers in
# build-bench/, then runs every figure of Vantrel beside its peer on this machine and prints
# them as ratios with their bars (bench/run_bench.py). Needs root, like the program, and
# about 10 GB of free disk in the work folder (default $TMPDIR or /tmp) for a few minutes.
# Not run by CI.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="${VANTREL_BENCH_BUILD:-$root/build-bench}"

bash "$here/deps.sh"
generator=()
[ -f "$build/CMakeCache.txt" ] || generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DVANTREL_BENCH=ON -DVANTREL_TESTS=OFF -DVANTREL_UI=ON >/dev/null
cmake --build "$build" -j2 >/dev/null
exec python3 "$here/run_bench.py" --build "$build" "$@"
