#!/usr/bin/env bash
# Installs what the build needs, checks the sources' formatting and that no folder includes
# against the layer order, builds everything (program, window, simulated Mac, tests) with
# AddressSanitizer and UndefinedBehaviorSanitizer in build/, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
bash scripts/check_format.sh
python3 scripts/check_layers.py
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON
cmake --build build -j2
cd build
# Most tests wait on child processes and servers more than they compute: four at a time keep
# two cores busier than two at a time do (measured), without starving any of them.
ctest --output-on-failure -j4 --timeout 300
