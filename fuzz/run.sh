#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (AddressSanitizer, UndefinedBehaviorSanitizer,
# LeakSanitizer) in build-fuzz/ and runs each for SECONDS, one job each, starting from the
# saved corpus in fuzz/corpus/<harness>/. New inputs go to build-fuzz/corpus/<harness>/ (the
# saved corpus is not touched); a crash leaves its input in build-fuzz/artifacts/.
#
#   fuzz/run.sh SECONDS [HARNESS...]     e.g. fuzz/run.sh 600, fuzz/run.sh 60 catalog
#
# Prints one line per harness: executions, corpus size, and whether it found anything.
# Ends with status 1 when any harness found a fault.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: fuzz/run.sh SECONDS [HARNESS...]}
shift
harnesses=("$@")
if ((${#harnesses[@]} == 0)); then
    harnesses=(catalog selection cached_build tool_output installer_output startosinstall_output
               command_line)
fi

bash fuzz/deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVANTREL_FUZZ=ON -DVANTREL_TESTS=OFF -DVANTREL_UI=OFF >/dev/null
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build build-fuzz -j2 --target "${targets[@]}"

mkdir -p build-fuzz/artifacts
failed=0
for h in "${harnesses[@]}"; do
    work=build-fuzz/corpus/$h
    mkdir -p "$work"
    log=build-fuzz/fuzz-$h.log
    status=0
    # libFuzzer ends without exit handlers: the harness's simulated Mac goes in a folder
    # removed here.
    scratch=$(mktemp -d)
    TMPDIR=$scratch build-fuzz/fuzz/fuzz_"$h" -max_total_time="$seconds" \
        -print_final_stats=1 -rss_limit_mb=2048 -timeout=10 -max_len=65536 \
        -artifact_prefix=build-fuzz/artifacts/"$h"- "$work" fuzz/corpus/"$h" >"$log" 2>&1 ||
        status=$?
    rm -rf "$scratch"
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
    size=$(find "$work" -type f | wc -l)
    if ((status == 0)); then
        echo "$h: ${runs:-?} executions in ${seconds}s, $size inputs in the corpus, no fault"
    else
        echo "$h: FAULT after ${runs:-?} executions (status $status); see $log"
        failed=1
    fi
done
exit $failed
