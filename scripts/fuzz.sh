#!/usr/bin/env bash
# Builds the libFuzzer target (clang, ASan + UBSan, coverage in the host runtime and both externals)
# in build/fuzz and runs it for SECONDS (default 60) from the committed seed corpus and regressions.
# Exits non-zero on any finding (crash, sanitizer report, non-finite output, timeout, memory limit).
#
#   scripts/fuzz.sh [SECONDS]
#   GH_FUZZ_CLASS=carvell~ scripts/fuzz.sh 600   # every box of the run a carvell~
#   GH_FUZZ_WORK=/tmp/myrun scripts/fuzz.sh      # keep the grown corpus and any crash input there
#
# The repository is not written: the corpus is copied to a scratch folder, where libFuzzer adds what
# it finds and writes crash-*/timeout-*/oom-* inputs. Keep a finding as fuzz/regressions/<name>.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"

"$root/scripts/setup.sh"

cc="$(command -v clang-14 || command -v clang)"
cxx="$(command -v clang++-14 || command -v clang++)"
mkdir -p "$build"
(
  # Two runs started together (one per class) build once: the second waits for the first.
  flock 9
  CC="$cc" CXX="$cxx" cmake -S "$root" -B "$build" -G Ninja -DGH_FUZZ=ON -DGH_TESTS=OFF -DGH_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j2 --target gh_fuzz
) 9>"$build/.build.lock"

work="${GH_FUZZ_WORK:-$(mktemp -d "${TMPDIR:-/tmp}/gh_fuzz.XXXXXX")}"
mkdir -p "$work/corpus" "$work/artifacts"
cp "$root"/fuzz/corpus/* "$work/corpus/"
if compgen -G "$root/fuzz/regressions/*" >/dev/null; then
  find "$root/fuzz/regressions" -maxdepth 1 -type f ! -name '*.md' -exec cp {} "$work/corpus/" \;
fi
echo "fuzz: ${seconds}s, class ${GH_FUZZ_CLASS:-any}, work folder $work"

# -detect_leaks=0: the harness keeps one Host across inputs, which libFuzzer's per-input leak check
# would mistake for growth; LeakSanitizer still checks the whole run when it ends.
status=0
"$build/fuzz/gh_fuzz" "$work/corpus" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 -detect_leaks=0 \
  -artifact_prefix="$work/artifacts/" -print_final_stats=1 || status=$?

if compgen -G "$work/artifacts/*" >/dev/null; then
  echo "fuzz: findings in $work/artifacts:" >&2
  ls -l "$work/artifacts" >&2
  status=1
fi
exit "$status"
