#!/usr/bin/env bash
# The trade store's figures: what it adds to the CPU per card of a harvest, an export of
# 1,000,000 stored lots, the database's size per lot and the time of full-text queries.
#
# Usage: bench/store/run.sh [--paced] [--runs N]
#   --paced   also one harvest with and one without the store at the product's pace (200 ms
#             after each worker: about 100 s each)
#   --runs N  harvests with and without the store at 1 ms pacing, taken by turns (default 5);
#             the medians are shown, for the machine is shared and single runs wander
# KORVALOT_BUILD_DIR chooses the build directory (default: build); KORVALOT_BENCH_DIR where the
# stores of 100,000 and 1,000,000 lots are kept between runs (default: the temporary folder).
# Nothing leaves 127.0.0.1.
#
# What it measures:
#   (a) the harvest driver (bench/harvest) over the same selection as bench/harvest/run.sh's
#       rows (c): cardsCpu per card without the store and with it (--store), and storeCpu, the
#       crawl thread's CPU time inside the store's calls, per card;
#   (b) korvalot_store_bench: CPU per trade stored (new, and harvested again), the export of
#       100,000 and 1,000,000 lots to CSV with its peak memory growth, bytes per lot, the time to
#       store and to index the words of 1,000,000 lots, and three full-text queries.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${KORVALOT_BUILD_DIR:-$root/build}
paced=0
runs=5
while [ $# -gt 0 ]; do
  case $1 in
    --paced) paced=1 ;;
    --runs)
      [ $# -ge 2 ] || { echo "--runs needs a number" >&2; exit 2; }
      runs=$2
      shift
      ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done

bash "$root/scripts/setup.sh"
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target register-sim korvalot_harvest_bench korvalot_store_bench -- -j"$(nproc)"
sim=$build/tools/register-sim/register-sim
driver=$build/bench/harvest/korvalot_harvest_bench

work=$(mktemp -d)
# shellcheck source=scripts/sim.sh
source "$root/scripts/sim.sh"
start_sim --port 0 --trades 10000 --seed 1

selection=(--regions "Московская область (50)" --types 0,2 --from 2026-01-01 --to 2026-06-30)
# figure LINE KEY: one value of a figures line.
figure() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
harvest() {
  rm -f "$work"/store.sqlite*
  "$driver" --url "$url" "${selection[@]}" "$@" 2>/dev/null | grep '^figures:'
}

echo "== (a) harvests at 1 ms pacing, $runs with and $runs without the store, by turns" >&2
: >"$work/plain"
: >"$work/store"
for _ in $(seq 1 "$runs"); do
  line=$(harvest --pacing-ms 1)
  echo "plain: $line" >&2
  echo "$(figure "$line" cardsCpu) $(figure "$line" cardJobs)" >>"$work/plain"
  line=$(harvest --pacing-ms 1 --store "$work/store.sqlite")
  echo "store: $line" >&2
  echo "$(figure "$line" cardsCpu) $(figure "$line" cardJobs) $(figure "$line" storeCpu)" >>"$work/store"
done
plain=$(awk '{ print $1 * 1000 / $2 }' "$work/plain" | median)
with=$(awk '{ print $1 * 1000 / $2 }' "$work/store" | median)
inside=$(awk '{ print $3 * 1000 / $2 }' "$work/store" | median)
printf 'CPU per card, 1 ms pacing (medians of %d): without the store %.3f ms, with it %.3f ms (%+.1f%%); inside the store %.3f ms (%.1f%% of the card without it)\n' \
  "$runs" "$plain" "$with" "$(awk "BEGIN { print ($with / $plain - 1) * 100 }")" \
  "$inside" "$(awk "BEGIN { print $inside / $plain * 100 }")"

if [ $paced -eq 1 ]; then
  echo "== (a) harvests at the product's pace" >&2
  line=$(harvest)
  echo "plain: $line" >&2
  plainPaced=$(awk "BEGIN { print $(figure "$line" cardsCpu) * 1000 / $(figure "$line" cardJobs) }")
  line=$(harvest --store "$work/store.sqlite")
  echo "store: $line" >&2
  withPaced=$(awk "BEGIN { print $(figure "$line" cardsCpu) * 1000 / $(figure "$line" cardJobs) }")
  insidePaced=$(awk "BEGIN { print $(figure "$line" storeCpu) * 1000 / $(figure "$line" cardJobs) }")
  printf "CPU per card, the product's pace: without the store %.3f ms, with it %.3f ms (%+.1f%%); inside the store %.3f ms (%.1f%% of the card without it)\n" \
    "$plainPaced" "$withPaced" "$(awk "BEGIN { print ($withPaced / $plainPaced - 1) * 100 }")" \
    "$insidePaced" "$(awk "BEGIN { print $insidePaced / $plainPaced * 100 }")"
fi

echo "== (b) korvalot_store_bench" >&2
"$build/bench/store/korvalot_store_bench"
