#!/usr/bin/env bash
# Side-by-side CPU cost of grainhost and the peer renderers (Csound, scsynth) on the same
# granular workloads, rendered offline:
#   W1  sine cloud (bench/w1.ghp): 2000 grains/s, 50 ms, random frequency and pan
#   W2  live granulation of noise (bench/w2.ghp): 1000 grains/s, 100 ms, random
#       transposition 0.5..2, delay 0..500 ms and pan
#   W0  the same patches without grains (bench/w0_w1.ghp, bench/w0_w2.ghp): the fixed cost
#       of the process (start-up, input signals, writing the file), subtracted from W1/W2.
# What is timed is the renderer process from start to exit: user + sys CPU time from
# /usr/bin/time, median of RUNS renders, writing a 32-bit float stereo WAV at 44100 Hz into a
# temporary folder. Both workloads make 4.41 million grain-samples (one output frame of one
# grain) per second of audio, so
#   ns per grain-sample = (W - W0) / seconds / 4.41e6 * 1e9.
#
# Usage: bench/compare.sh [SECONDS] [W1|W2|both]      (defaults: 60 both)
# Environment:
#   RUNS=3          renders per engine and workload (the median is reported)
#   GRAINHOST=...   the renderer (default: build/release/tools/grainhost; build it with
#                   scripts/build.sh build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo)
#   PEERS_DIR=...   the peers' scripts (default: ../shared/peers beside the repository)
#   PEERS=0         measure grainhost only
#   KEEP=DIR        keep the last render of every engine and workload in DIR
# The peers need csound, supercollider-server, python3 and time from Debian; when one is
# missing and this runs as root, they are installed with apt-get.
# Exit status: 0 when every render (and every check) passed, 1 otherwise, 2 for a wrong
# command line or a missing renderer.
set -euo pipefail

usage="usage: bench/compare.sh [SECONDS] [W1|W2|both]"
root=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-60}
which=${2:-both}
runs=${RUNS:-3}
grainhost=${GRAINHOST:-$root/build/release/tools/grainhost}
peers_dir=${PEERS_DIR:-$root/../shared/peers}
with_peers=${PEERS:-1}

if ! [[ $secs =~ ^[0-9]+([.][0-9]+)?$ ]] || ! awk -v s="$secs" 'BEGIN { exit !(s > 0) }'; then
  echo "$usage: SECONDS must be a positive number, got '$secs'" >&2; exit 2
fi
case $which in
  W1) workloads=(W1) ;;
  W2) workloads=(W2) ;;
  both) workloads=(W1 W2) ;;
  *) echo "$usage: expected W1, W2 or both, got '$which'" >&2; exit 2 ;;
esac
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "RUNS must be a positive whole number, got '$runs'" >&2; exit 2; }
[[ -x $grainhost ]] || {
  echo "no renderer at $grainhost: build it with" >&2
  echo "  scripts/build.sh build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo (or set GRAINHOST)" >&2
  exit 2
}
[[ -x /usr/bin/time ]] || { echo "missing /usr/bin/time: apt-get install time" >&2; exit 2; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0

verify=$peers_dir/verify.py
if [[ $with_peers != 0 ]]; then
  [[ -x $peers_dir/run.sh ]] || { echo "no peers at $peers_dir (set PEERS_DIR, or PEERS=0)" >&2; exit 2; }
  missing=()
  for cmd in csound scsynth python3; do
    command -v "$cmd" >/dev/null || missing+=("$cmd")
  done
  if ((${#missing[@]})); then
    if [[ $(id -u) == 0 ]]; then
      echo "installing the peers (missing: ${missing[*]})" >&2
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q csound supercollider-server python3 time >&2
    else
      echo "missing ${missing[*]}: apt-get install csound supercollider-server python3 time" >&2
      exit 2
    fi
  fi
fi

# median of the numbers on stdin
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# ours PATCH MODEL OVERLAP: RUNS timed renders of bench/PATCH.ghp; prints the median CPU
# seconds, or FAIL. Each render is checked with the peers' verify.py when it is there (the
# same length, silence and grain-overlap checks as the peers' renders).
ours() {
  local patch=$1 model=$2 overlap=$3 out=$tmp/$1.wav cpus=() i t
  for ((i = 1; i <= runs; i++)); do
    rm -f "$out"
    if ! /usr/bin/time -f '%U %S' -o "$tmp/time" \
         "$grainhost" render "$root/bench/$patch.ghp" -d "${secs}s" -b 32 -o "$out" -q \
         </dev/null >"$tmp/log" 2>&1; then
      echo "grainhost failed on $patch.ghp:" >&2; cat "$tmp/log" >&2
      echo FAIL; return 0
    fi
    t=$(awk '{ printf "%.2f", $1 + $2 }' "$tmp/time")
    cpus+=("$t")
    if [[ -f $verify ]] && command -v python3 >/dev/null; then
      python3 "$verify" "$out" "$secs" "$model" "$overlap" >&2 || { echo FAIL; return 0; }
    fi
  done
  echo "grainhost $patch runs: ${cpus[*]}" >&2
  if [[ -n ${KEEP:-} ]]; then mkdir -p "$KEEP" && cp "$out" "$KEEP/grainhost-$patch.wav"; fi
  printf '%s\n' "${cpus[@]}" | median
}

# results: lines "engine workload cpu w0cpu"
: >"$tmp/results"
for w in "${workloads[@]}"; do
  lw=${w,,}
  if [[ $w == W1 ]]; then model=sine-eqpow; else model=noise-eqpow; fi
  echo "grainhost $w ($secs s, $runs runs)..." >&2
  cw=$(ours "$lw" "$model" 100)
  c0=$(ours "w0_$lw" silent 0)
  [[ $cw == FAIL || $c0 == FAIL ]] && status=1
  echo "grainhost $w $cw $c0" >>"$tmp/results"
done

if [[ $with_peers != 0 ]]; then
  for w in "${workloads[@]}" W0; do
    echo "peers $w ($secs s, $runs runs)..." >&2
    RUNS=$runs "$peers_dir/run.sh" "$w" "$secs" >"$tmp/peers_$w" || status=1
  done
  # peer lines: "peer workload audio_seconds cpu_seconds realtime_factor"
  for w in "${workloads[@]}"; do
    while read -r peer _ _ cpu _; do
      [[ -n $peer ]] || continue
      c0=$(awk -v p="$peer" '$1 == p { print $4 }' "$tmp/peers_W0")
      echo "$peer $w $cpu ${c0:-FAIL}" >>"$tmp/results"
    done <"$tmp/peers_$w"
  done
fi

# The table. ns per grain-sample from the net CPU time; "best peer / grainhost" compares
# the cheapest peer doing the whole workload with grainhost (above 1: grainhost is cheaper).
# scsynth:GrainIn grains the current input sample (no transposition, no delay): it is listed
# but not ranked as the best W2 peer.
awk -v secs="$secs" '
  function ns(c, c0) { return (c - c0) / secs / 4.41e6 * 1e9 }
  function ok(x) { return x ~ /^[0-9.]+$/ }
  {
    e[NR] = $1; w[NR] = $2; c[NR] = $3; z[NR] = $4
    if (ok($3) && ok($4)) {
      n[NR] = ns($3, $4)
      if ($1 == "grainhost") ours[$2] = n[NR]
      else if ($1 != "scsynth:GrainIn" && (!($2 in best) || n[NR] < best[$2])) {
        best[$2] = n[NR]; bestname[$2] = $1
      }
    }
  }
  END {
    printf "%-24s %-8s %8s %8s %12s\n", "engine", "workload", "cpu s", "W0 cpu s", "ns/grain-smp"
    for (i = 1; i <= NR; i++) {
      if (i in n) printf "%-24s %-8s %8.2f %8.2f %12.2f\n", e[i], w[i], c[i], z[i], n[i]
      else printf "%-24s %-8s %8s %8s %12s\n", e[i], w[i], c[i], z[i], "FAIL"
    }
    split("W1 W2", order, " ")
    goal["W1"] = 0.7; goal["W2"] = 0.9
    for (j = 1; j <= 2; j++) {
      k = order[j]
      if (!(k in ours)) continue
      verdict = ours[k] <= goal[k] ? "met" : "not met"
      if (k in best && ours[k] > 0)
        printf "%s: best peer %s %.2f ns, grainhost %.2f ns: best peer / grainhost = %.2f; goal %.2f ns %s\n",
               k, bestname[k], best[k], ours[k], best[k] / ours[k], goal[k], verdict
      else
        printf "%s: grainhost %.2f ns; goal %.2f ns %s\n", k, ours[k], goal[k], verdict
    }
  }' "$tmp/results"
exit $status
