#!/usr/bin/env bash
# The thread-sanitized run: builds build/tsan (ThreadSanitizer, warnings as errors, no benchmarks)
# and runs the stress suite plus the host, brindel~ and carvell~ tests under it. Any ThreadSanitizer
# report stops the process at once and fails the run.
#
#   scripts/stress.sh                    # about 3 s per stress case
#   STRESS_SECONDS=60 scripts/stress.sh  # longer local runs
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

dir=build/tsan
cmake -S . -B "$dir" -G Ninja -DGH_TSAN=ON -DGH_WERROR=ON -DGH_BENCH=OFF >/dev/null
cmake --build "$dir" -j2 --target stress_tests host_chain_test host_runtime_test brindel_tests carvell_tests

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1${TSAN_OPTIONS:+ $TSAN_OPTIONS}"
export STRESS_SECONDS="${STRESS_SECONDS:-3}"

# The component suites: each binary runs whole (their cases are quick); then the stress cases.
status=0
for t in host/tests/host_runtime_test host/tests/host_chain_test brindel/tests/brindel_tests \
         carvell/tests/carvell_tests; do
  echo "stress.sh: $t under ThreadSanitizer"
  "$dir/$t" --gtest_brief=1 || status=1
done
echo "stress.sh: stress suite, ${STRESS_SECONDS} s per case"
# -V shows each case's figures (vectors and messages per second).
(cd "$dir" && ctest -L stress -V) || status=1

if [ "$status" -ne 0 ]; then
  echo "stress.sh: FAILED" >&2
  exit 1
fi
echo "stress.sh: passed"
