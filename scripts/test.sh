#!/usr/bin/env bash
# Builds qlfwd and its tests with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs every test: unit, end to end, installation, a short fuzz run.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/install-deps.sh" test
echo "Building the tests (sanitizers) in build-test/ ..."
# The test programs with line tables only (-g1), which is what a sanitizer's
# report needs of them: their full debug information was a sixth of the build.
cmake -S "$top" -B "$top/build-test" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQLFWD_TESTS=ON -DQLFWD_SANITIZE=ON \
    -DQLFWD_TEST_FLAGS=-g1 >/dev/null
log="$top/build-test/build.log"
if ! cmake --build "$top/build-test" >"$log" 2>&1; then
    tail -60 "$log"
    echo "The build failed; the whole output is in $log"
    exit 1
fi
echo "Running every test ..."
status=0
# Most tests wait (for a receiver, a broker, a second to pass) far more than
# they compute: twice as many at once as there are cores.
ctest --test-dir "$top/build-test" --output-on-failure -j "$(($(nproc) * 2))" || status=$?
# ctest lists a skipped test without its reason: say why each one could not run.
reasons=$(awk '/^[0-9]+\/[0-9]+ Testing: / { name = $3 }
               /^skipped: / { print "  " name ": " substr($0, 10) }
               /: Skipped$/ { getline; print "  " name ": " $0 }' "$top/build-test/Testing/Temporary/LastTest.log")
if [ -n "$reasons" ]; then
    echo "Skipped, and why:"
    echo "$reasons"
fi
exit $status
