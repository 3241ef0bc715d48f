#!/usr/bin/env bash
# Builds qlfwd and its tests with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs every test.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$top/build-test" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQLFWD_TESTS=ON -DQLFWD_SANITIZE=ON >/dev/null
cmake --build "$top/build-test"
ctest --test-dir "$top/build-test" --output-on-failure -j "$(nproc)"
