#!/usr/bin/env bash
# Whole harvests of the engine against the register simulator, measured, and the table written
# to docs/performance.md.
#
# Usage: bench/harvest/run.sh [--quick] [--rows LIST] [--repeat N] [--long-soak]
#   --quick      smaller selections and no 100,000-trade register (a few minutes, for trying)
#   --rows LIST  only these rows, comma-separated (default: all of them):
#                paced    (a) and (c) at the product's pace
#                unpaced  (c) with 1 ms pacing
#                floor    (e) at the product's pace and with 1 ms pacing
#                latency  (b) and (c) with 300 ms per answer
#                memory   (d)
#                store    (f) with the trade store and without, 1 ms pacing
#   --repeat N   every harvest N times; the table shows the one of median CPU per card (on a
#                machine shared with other work a single run can be far off)
#   --long-soak  afterwards also the long soak and storm (tests/soak with KORVALOT_SOAK_LONG=1)
# KORVALOT_BUILD_DIR chooses the build directory (default: build). Nothing leaves 127.0.0.1.
#
# What it measures (the product's timings unless said otherwise):
#   (a) no latency: wall time of a harvest against started jobs x 200 ms
#   (b) 300 ms per answer: the card phase against card jobs x max(200 ms, 3 x 300 ms / 4)
#   (c) CPU milliseconds (user + system, the harvester's process only) per trade card
#   (e) the floor of the design: the card jobs of the same selection made by bare clients
#       (korvalot_floor_bench: per job a thread and a fresh WorkerClient, with the shared TLS
#       context and its resumed sessions, the card's three requests, no engine), at the
#       product's pace and with 1 ms pacing; CPU per card beside the engine's
#   (f) the trade store's share of the CPU per card, with 1 ms pacing: a harvest into a new store
#       (every trade committed as it comes, the words index brought up to date at the run's end)
#       beside the same harvest without one
#   (d) peak resident memory of harvests of 10,000 and 100,000 trades, the search phase alone and
#       whole harvests, with 1 ms pacing (memory does not depend on the pace)
#
# The file holds only the rows of this run, each with the time it was measured: figures of an
# earlier run are not carried over. Of the hand-written text below the table only the section
# "## Standing notes" survives a new measurement (notes that hold whatever the figures); notes
# about particular figures go under "## Notes" and are dropped with the figures they discuss.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${KORVALOT_BUILD_DIR:-$root/build}
quick=0
longSoak=0
repeat=1
rows=paced,unpaced,floor,latency,memory,store
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --long-soak) longSoak=1 ;;
    --rows)
      [ $# -ge 2 ] || { echo "--rows needs a list" >&2; exit 2; }
      rows=$2
      shift
      ;;
    --repeat)
      [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || { echo "--repeat needs a number" >&2; exit 2; }
      repeat=$2
      shift
      ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done
for row in ${rows//,/ }; do
  case $row in
    paced | unpaced | floor | latency | memory | store) ;;
    *) echo "unknown row: $row" >&2; exit 2 ;;
  esac
done
wants() { [[ ",$rows," == *",$1,"* ]]; }

bash "$root/scripts/setup.sh"
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(register-sim korvalot_harvest_bench korvalot_floor_bench)
[ $longSoak -eq 1 ] && targets+=(korvalot_soak_tests)
cmake --build "$build" --target "${targets[@]}" -- -j"$(nproc)"
sim=$build/tools/register-sim/register-sim
driver=$build/bench/harvest/korvalot_harvest_bench
floorDriver=$build/bench/harvest/korvalot_floor_bench

work=$(mktemp -d)
# shellcheck source=scripts/sim.sh
source "$root/scripts/sim.sh"

# figure NAME KEY: one value of a figures line.
figure() { tr ' ' '\n' <"$work/$1" | sed -n "s/^$2=//p"; }
# measure NAME COMMAND...: runs the command --repeat times; every figures line goes to
# $work/NAME.all, the one of median CPU per card to $work/NAME.
measure() {
  local name=$1
  shift
  : >"$work/$name.all"
  for i in $(seq 1 "$repeat"); do
    echo "== $name ($i of $repeat): $*" >&2
    "$@" 2>/dev/null | grep '^figures:' >"$work/$name.one"
    cat "$work/$name.one" >&2
    cat "$work/$name.one" >>"$work/$name.all"
  done
  awk '{ for (i = 2; i <= NF; i++) if ($i ~ /^cardsCpu=/) { split($i, kv, "="); print kv[2], NR } }' \
    "$work/$name.all" | sort -g | awk -v n="$repeat" 'NR == int((n + 1) / 2) { print $2 }' |
    { read -r line; sed -n "${line}p" "$work/$name.all"; } >"$work/$name"
}
# harvest NAME ARGS...: the engine's harvest; its folder $work/NAME.dir keeps guids.txt of the
# last repetition.
harvest() {
  local name=$1
  shift
  rm -rf "$work/$name.dir"
  mkdir -p "$work/$name.dir"
  measure "$name" bash -c 'rm -rf "$0"/* && exec "$@"' "$work/$name.dir" \
    "$driver" --url "$url" --dir "$work/$name.dir" --log "$work/$name.log" "$@"
}
calc() { awk "BEGIN { printf \"%.${2:-2}f\", $1 }"; }

if [ $quick -eq 1 ]; then
  selection=(--regions "Республика Саха (Якутия) (14)" --types 0,2)
  memorySizes=(10000)
else
  selection=(--regions "Московская область (50)" --types 0,2)
  memorySizes=(10000 100000)
fi
dates=(--from 2026-01-01 --to 2026-06-30)

stamp() { date -u '+%Y-%m-%d %H:%M UTC'; }
tableRows=""
figureNames=()
cpuPerCard() { calc "$(figure "$1" cardsCpu) * 1000 / $(figure "$1" cardJobs)" 2; }

# (a) and (c): no latency, the product's pacing.
if wants paced; then
  start_sim --port 0 --trades 10000 --seed 1
  harvest paced "${selection[@]}" "${dates[@]}"
  when=$(stamp)
  figureNames+=(paced)
  pacedJobs=$(( $(figure paced searchJobs) + $(figure paced cardJobs) ))
  pacedWall=$(figure paced wall)
  pacedBound=$(calc "$pacedJobs * 0.2" 1)
  tableRows+="| (a) whole harvest, no latency | $pacedJobs started jobs ($(figure paced searchJobs) search, $(figure paced cardJobs) cards, $(figure paced rows) rows) | ${pacedWall} s | bound ${pacedBound} s (jobs x 200 ms): $(calc "$pacedWall / $pacedBound" 3) | within 5% (1.050) | $when |"$'\n'
  tableRows+="| (c) CPU per card, the product's pace | card phase of (a), $(figure paced cardJobs) cards | $(cpuPerCard paced) ms | | under 0.8 ms | $when |"$'\n'
fi
# (c) without pacing: what the cards cost when nothing waits.
if wants unpaced; then
  start_sim --port 0 --trades 10000 --seed 1
  harvest unpaced "${selection[@]}" "${dates[@]}" --pacing-ms 1
  when=$(stamp)
  figureNames+=(unpaced)
  tableRows+="| (c) CPU per card, 1 ms pacing | $(figure unpaced cardJobs) cards in $(figure unpaced cards) s | $(cpuPerCard unpaced) ms | | under 0.4 ms | $when |"$'\n'
fi
# (f): the trade store's share, with 1 ms pacing.
if wants store; then
  start_sim --port 0 --trades 10000 --seed 1
  harvest storeless "${selection[@]}" "${dates[@]}" --pacing-ms 1
  harvest stored "${selection[@]}" "${dates[@]}" --pacing-ms 1 --store "$work/stored.dir/korvalot.sqlite"
  when=$(stamp)
  figureNames+=(storeless stored)
  storeShare=$(calc "$(figure stored storeCpu) * 1000 / $(figure stored cardJobs)" 2)
  growth=$(calc "($(figure stored cardsCpu) / $(figure storeless cardsCpu) - 1) * 100" 0)
  tableRows+="| (f) CPU per card with the store, 1 ms pacing | $(figure stored cardJobs) cards into a new store | $(cpuPerCard stored) ms, of it the store $storeShare ms | without the store $(cpuPerCard storeless) ms: +$growth% | under +10% | $when |"$'\n'
fi
# (e): the floor, over the trades the engine's harvest of the same selection listed.
if wants floor; then
  start_sim --port 0 --trades 10000 --seed 1
  guids=""
  for name in paced unpaced; do
    [ -z "$guids" ] && [ -s "$work/$name.dir/guids.txt" ] && guids=$work/$name.dir/guids.txt
  done
  if [ -z "$guids" ]; then
    harvest floorSearch "${selection[@]}" "${dates[@]}" --search-only --pacing-ms 1
    guids=$work/floorSearch.dir/guids.txt
  fi
  # against ENGINE FLOOR: the engine's CPU per card over the floor's.
  against() {
    [ -s "$work/$1" ] || return 0
    echo "engine $(cpuPerCard "$1") ms: $(calc "$(cpuPerCard "$1") / $(cpuPerCard "$2")" 2) times the floor"
  }
  measure floorPaced "$floorDriver" --url "$url" --guids "$guids"
  when=$(stamp)
  figureNames+=(floorPaced)
  tableRows+="| (e) CPU per card, the floor, the product's pace | $(figure floorPaced cardJobs) cards by bare clients ($(figure floorPaced failed) failed) in $(figure floorPaced cards) s | $(cpuPerCard floorPaced) ms | $(against paced floorPaced) | engine within 1.2 times | $when |"$'\n'
  measure floorUnpaced "$floorDriver" --url "$url" --guids "$guids" --pacing-ms 1
  when=$(stamp)
  figureNames+=(floorUnpaced)
  tableRows+="| (e) CPU per card, the floor, 1 ms pacing | $(figure floorUnpaced cardJobs) cards by bare clients ($(figure floorUnpaced failed) failed) in $(figure floorUnpaced cards) s | $(cpuPerCard floorUnpaced) ms | $(against unpaced floorUnpaced) | engine within 1.2 times | $when |"$'\n'
fi
# (b): 300 ms before every answer.
if wants latency; then
  start_sim --port 0 --trades 10000 --seed 1 --latency-ms 300
  harvest latency "${selection[@]}" "${dates[@]}"
  when=$(stamp)
  figureNames+=(latency)
  latencyCards=$(figure latency cardJobs)
  latencyCardWall=$(figure latency cards)
  latencyBound=$(calc "$latencyCards * 0.225" 1)
  latencySearchJobs=$(figure latency searchJobs)
  latencySearchWall=$(figure latency search)
  tableRows+="| (b) card phase, 300 ms per answer | $latencyCards card jobs | ${latencyCardWall} s | bound ${latencyBound} s (jobs x 225 ms): $(calc "$latencyCardWall / $latencyBound" 3) | within 5% (1.050) | $when |"$'\n'
  tableRows+="| (b) search phase, 300 ms per answer | $latencySearchJobs search jobs | ${latencySearchWall} s | bound $(calc "$latencySearchJobs * 0.2" 1) s (jobs x 200 ms): $(calc "$latencySearchWall / ($latencySearchJobs * 0.2)" 3) | within 5% (1.050) | $when |"$'\n'
  tableRows+="| (c) CPU per card, 300 ms per answer | card phase of (b) | $(cpuPerCard latency) ms | | | $when |"$'\n'
fi
# (d): memory. The baseline is the resident set of the driver just before its run starts.
slope=""
if wants memory; then
  for n in "${memorySizes[@]}"; do
    start_sim --port 0 --trades "$n" --seed 1
    harvest "search$n" --all-regions --types 0,1,2,3,4,5 "${dates[@]}" --search-only \
      --pacing-ms 1
    when=$(stamp)
    figureNames+=("search$n")
    trades=$(figure "search$n" trades)
    base=$(figure "search$n" baselineRss)
    peak=$(figure "search$n" peakRss)
    tableRows+="| (d) search phase, $n-trade register | $trades trades found, $(figure "search$n" searchJobs) search jobs | peak $(calc "$peak / 1024" 1) MiB, baseline $(calc "$base / 1024" 1) MiB | $(calc "($peak - $base) * 1024 / $trades" 0) bytes per trade above the baseline | under 1024 bytes per trade | $when |"$'\n'
  done
  for n in "${memorySizes[@]}"; do
    start_sim --port 0 --trades "$n" --seed 1
    harvest "whole$n" --all-regions --types 0,1,2,3,4,5 "${dates[@]}" --pacing-ms 1
    when=$(stamp)
    figureNames+=("whole$n")
    trades=$(figure "whole$n" trades)
    base=$(figure "whole$n" baselineRss)
    peak=$(figure "whole$n" peakRss)
    tableRows+="| (d) whole harvest, $n-trade register (1 ms pacing) | $trades trades, $(figure "whole$n" rows) rows | peak $(calc "$peak / 1024" 1) MiB, baseline $(calc "$base / 1024" 1) MiB | $(calc "($peak - $base) * 1024 / $trades" 0) bytes per trade above the baseline | under 1024 bytes per trade | $when |"$'\n'
  done
  if [ ${#memorySizes[@]} -gt 1 ]; then
    small=${memorySizes[0]}
    large=${memorySizes[1]}
    perTrade() {
      calc "($(figure "$1$large" peakRss) - $(figure "$1$small" peakRss)) * 1024 / ($(figure "$1$large" trades) - $(figure "$1$small" trades))" 0
    }
    slope="From $small to $large trades the peak grows by $(perTrade search) bytes per further trade in the search phase and by $(perTrade whole) bytes in the whole harvest."
  fi
fi
stop_sim

mkdir -p "$root/docs"
{
  echo "# Harvest performance"
  echo
  echo "Measured by \`bench/harvest/run.sh$([ $quick -eq 1 ] && echo ' --quick') --rows $rows\` ($(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end), against"
  echo "the register simulator on 127.0.0.1 (seed 1, trades dated 2026-01-01 to 2026-06-30). The"
  echo "harvester is \`korvalot_harvest_bench\`: one \`TScraper\` with a console in place of the window,"
  echo "\`Limit\` 4 and the product's timings (200 ms after starting a worker; between turns the crawl thread sleeps until something happens)"
  echo "except where the row says otherwise. CPU and memory are those of the harvester's process only."
  echo "Only the rows of that run are shown; each says when it was measured."
  [ "$repeat" -gt 1 ] &&
    echo "Every harvest ran $repeat times; each row shows the run of median CPU per card."
  echo
  echo "| what | work | measured | against the bound | aim | measured on |"
  echo "| --- | --- | --- | --- | --- | --- |"
  printf '%s' "$tableRows"
  echo
  [ -n "$slope" ] && echo "$slope" && echo
  echo "Reproduce: \`bench/harvest/run.sh\` (about 20 minutes; \`--quick\` for a smaller run,"
  echo "\`--rows\` for some rows only). The figures lines of the driver, as measured:"
  echo
  echo '```'
  for f in "${figureNames[@]}"; do
    if [ "$repeat" -gt 1 ]; then
      while read -r line; do
        echo "$f: ${line#figures: }$([ "$line" = "$(cat "$work/$f")" ] && echo ' (median)')"
      done <"$work/$f.all"
    else
      echo "$f: $(cut -d' ' -f2- "$work/$f")"
    fi
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

if [ -f "$root/docs/performance.md" ] && grep -q '^## Standing notes' "$root/docs/performance.md"; then
  # Only the notes that hold whatever the figures survive; the section runs to the next heading
  # of its level or the end of the file.
  {
    echo
    awk '/^## Standing notes/ { keep = 1; print; next } /^## / { keep = 0 } keep' \
      "$root/docs/performance.md"
  } >>"$root/docs/performance.md.new"
fi
mv "$root/docs/performance.md.new" "$root/docs/performance.md"
echo "written: docs/performance.md" >&2
