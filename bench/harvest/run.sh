#!/usr/bin/env bash
# Whole harvests of the engine against the register simulator, measured, and the table written
# to docs/performance.md.
#
# Usage: bench/harvest/run.sh [--quick] [--long-soak]
#   --quick      smaller selections and no 100,000-trade register (a few minutes, for trying)
#   --long-soak  afterwards also the long soak and storm (tests/soak with KORVALOT_SOAK_LONG=1)
# KORVALOT_BUILD_DIR chooses the build directory (default: build). Nothing leaves 127.0.0.1.
#
# What it measures (the product's timings unless said otherwise):
#   (a) no latency: wall time of a harvest against started jobs x 200 ms
#   (b) 300 ms per answer: the card phase against card jobs x max(200 ms, 3 x 300 ms / 4)
#   (c) CPU seconds (user + system, the harvester's process only) per 1000 cards
#   (d) peak resident memory of harvests of 10,000 and 100,000 trades, the search phase alone and
#       whole harvests, with 1 ms pacing (memory does not depend on the pace)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${KORVALOT_BUILD_DIR:-$root/build}
quick=0
longSoak=0
for arg in "$@"; do
  case $arg in
    --quick) quick=1 ;;
    --long-soak) longSoak=1 ;;
    *) echo "unknown argument: $arg" >&2; exit 2 ;;
  esac
done

bash "$root/scripts/setup.sh"
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(register-sim korvalot_harvest_bench)
[ $longSoak -eq 1 ] && targets+=(korvalot_soak_tests)
cmake --build "$build" --target "${targets[@]}" -- -j"$(nproc)"
sim=$build/tools/register-sim/register-sim
driver=$build/bench/harvest/korvalot_harvest_bench

work=$(mktemp -d)
simPid=
cleanup() {
  if [ -n "$simPid" ]; then kill "$simPid" 2>/dev/null || true; wait "$simPid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# start_sim ARGS...: a simulator on a free port; sets $url.
start_sim() {
  stop_sim
  "$sim" --port 0 "$@" >"$work/sim.out" 2>"$work/sim.err" &
  simPid=$!
  for _ in $(seq 1 600); do
    url=$(head -n 1 "$work/sim.out" 2>/dev/null || true)
    [ -n "$url" ] && return 0
    sleep 0.2
  done
  echo "the simulator did not start: $(cat "$work/sim.err")" >&2
  exit 1
}
stop_sim() {
  if [ -n "$simPid" ]; then kill "$simPid" 2>/dev/null || true; wait "$simPid" 2>/dev/null || true; fi
  simPid=
}

# harvest NAME ARGS...: runs the driver, keeps its figures line in $work/NAME.
harvest() {
  local name=$1
  shift
  echo "== $name: $*" >&2
  "$driver" --url "$url" --log "$work/$name.log" "$@" 2>/dev/null | grep '^figures:' >"$work/$name"
  cat "$work/$name" >&2
}
# figure NAME KEY: one value of a figures line.
figure() { tr ' ' '\n' <"$work/$1" | sed -n "s/^$2=//p"; }
calc() { awk "BEGIN { printf \"%.${2:-2}f\", $1 }"; }

if [ $quick -eq 1 ]; then
  selection=(--regions "Республика Саха (Якутия) (14)" --types 0,2)
  memorySizes=(10000)
else
  selection=(--regions "Московская область (50)" --types 0,2)
  memorySizes=(10000 100000)
fi
dates=(--from 2026-01-01 --to 2026-06-30)

# (a) and (c): no latency, the product's pacing.
start_sim --trades 10000 --seed 1
harvest paced "${selection[@]}" "${dates[@]}"
# (b): 300 ms before every answer.
start_sim --trades 10000 --seed 1 --latency-ms 300
harvest latency "${selection[@]}" "${dates[@]}"
# (d): memory. The baseline is the resident set of the driver just before its run starts.
for n in "${memorySizes[@]}"; do
  start_sim --trades "$n" --seed 1
  harvest "search$n" --all-regions --types 0,1,2,3,4,5 "${dates[@]}" --search-only \
    --pacing-ms 1 --loop-ms 1
done
for n in "${memorySizes[@]}"; do
  start_sim --trades "$n" --seed 1
  harvest "whole$n" --all-regions --types 0,1,2,3,4,5 "${dates[@]}" --pacing-ms 1 --loop-ms 1
done
stop_sim

pacedJobs=$(( $(figure paced searchJobs) + $(figure paced cardJobs) ))
pacedWall=$(figure paced wall)
pacedBound=$(calc "$pacedJobs * 0.2" 1)
latencyCards=$(figure latency cardJobs)
latencyCardWall=$(figure latency cards)
latencyBound=$(calc "$latencyCards * 0.225" 1)
latencySearchJobs=$(figure latency searchJobs)
latencySearchWall=$(figure latency search)
cpuPer1000=$(calc "$(figure paced cardsCpu) * 1000 / $(figure paced cardJobs)" 2)
cpuPer1000Latency=$(calc "$(figure latency cardsCpu) * 1000 / $(figure latency cardJobs)" 2)

memoryRows=""
for n in "${memorySizes[@]}"; do
  trades=$(figure "search$n" trades)
  base=$(figure "search$n" baselineRss)
  peak=$(figure "search$n" peakRss)
  memoryRows+="| (d) search phase, $n-trade register | $trades trades found, $(figure "search$n" searchJobs) search jobs | peak $(calc "$peak / 1024" 1) MiB, baseline $(calc "$base / 1024" 1) MiB | $(calc "($peak - $base) * 1024 / $trades" 0) bytes per trade above the baseline | under 1024 bytes per trade |"$'\n'
done
for n in "${memorySizes[@]}"; do
  trades=$(figure "whole$n" trades)
  base=$(figure "whole$n" baselineRss)
  peak=$(figure "whole$n" peakRss)
  memoryRows+="| (d) whole harvest, $n-trade register (1 ms pacing) | $trades trades, $(figure "whole$n" rows) rows | peak $(calc "$peak / 1024" 1) MiB, baseline $(calc "$base / 1024" 1) MiB | $(calc "($peak - $base) * 1024 / $trades" 0) bytes per trade above the baseline | under 1024 bytes per trade |"$'\n'
done
slope=""
if [ ${#memorySizes[@]} -gt 1 ]; then
  small=${memorySizes[0]}
  large=${memorySizes[1]}
  perTrade() {
    calc "($(figure "$1$large" peakRss) - $(figure "$1$small" peakRss)) * 1024 / ($(figure "$1$large" trades) - $(figure "$1$small" trades))" 0
  }
  slope="From $small to $large trades the peak grows by $(perTrade search) bytes per further trade in the search phase and by $(perTrade whole) bytes in the whole harvest."
fi

mkdir -p "$root/docs"
{
  echo "# Harvest performance"
  echo
  echo "Measured by \`bench/harvest/run.sh$([ $quick -eq 1 ] && echo ' --quick')\` on $(date -u +%Y-%m-%d) ($(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end), against"
  echo "the register simulator on 127.0.0.1 (seed 1, trades dated 2026-01-01 to 2026-06-30). The"
  echo "harvester is \`korvalot_harvest_bench\`: one \`TScraper\` with a console in place of the window,"
  echo "\`Limit\` 4 and the product's timings (200 ms after starting a worker, 10 ms per loop turn)"
  echo "except where the row says otherwise. CPU and memory are those of the harvester's process only."
  echo
  echo "| what | work | measured | against the bound | aim |"
  echo "| --- | --- | --- | --- | --- |"
  echo "| (a) whole harvest, no latency | $pacedJobs started jobs ($(figure paced searchJobs) search, $(figure paced cardJobs) cards, $(figure paced rows) rows) | ${pacedWall} s | bound ${pacedBound} s (jobs x 200 ms): $(calc "$pacedWall / $pacedBound" 3) | within 5% (1.050) |"
  echo "| (b) card phase, 300 ms per answer | $latencyCards card jobs | ${latencyCardWall} s | bound ${latencyBound} s (jobs x 225 ms): $(calc "$latencyCardWall / $latencyBound" 3) | within 5% (1.050) |"
  echo "| (b) search phase, 300 ms per answer | $latencySearchJobs search jobs | ${latencySearchWall} s | bound $(calc "$latencySearchJobs * 0.2" 1) s (jobs x 200 ms): $(calc "$latencySearchWall / ($latencySearchJobs * 0.2)" 3) | within 5% (1.050) |"
  echo "| (c) CPU per 1000 cards | card phase of (a); of (b) | ${cpuPer1000} s; ${cpuPer1000Latency} s | | under 1 s |"
  printf '%s' "$memoryRows"
  echo
  [ -n "$slope" ] && echo "$slope" && echo
  echo "Reproduce: \`bench/harvest/run.sh\` (about 20 minutes; \`--quick\` for a smaller run). The"
  echo "figures lines of the driver, as measured:"
  echo
  echo '```'
  for f in paced latency "${memorySizes[@]/#/search}" "${memorySizes[@]/#/whole}"; do
    echo "$f: $(cut -d' ' -f2- "$work/$f")"
  done
  echo '```'
} >"$root/docs/performance.md.new"

if [ $longSoak -eq 1 ]; then
  echo "== long soak and storm" >&2
  # A failing case is written into the table like the others.
  KORVALOT_SOAK_LONG=1 "$build/tests/soak/korvalot_soak_tests" |
    tee "$work/soak.txt" >&2 || true
  {
    echo
    echo "## Long soak and storm"
    echo
    echo '```'
    grep -E '^(soak|storm|\[  (PASSED|FAILED))' "$work/soak.txt" || true
    echo '```'
  } >>"$root/docs/performance.md.new"
fi

if [ -f "$root/docs/performance.md" ] && grep -q '^## Notes' "$root/docs/performance.md"; then
  # Hand-written notes below the table survive a new measurement.
  { echo; sed -n '/^## Notes/,$p' "$root/docs/performance.md"; } >>"$root/docs/performance.md.new"
fi
mv "$root/docs/performance.md.new" "$root/docs/performance.md"
echo "written: docs/performance.md" >&2
