#!/usr/bin/env bash
# What fuzzing needs beyond the normal build: clang with libFuzzer and the sanitizer run-time.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bash "$here/../scripts/deps.sh" clang libclang-rt-14-dev
