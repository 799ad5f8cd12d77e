#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz and runs each of them for a while.
# Usage: scripts/fuzz.sh [--smoke] [seconds] [target...]
#   --smoke    30 seconds per target (what CI runs)
#   seconds    time per target (default 300)
#   target     run only these (default: every target of tests/fuzz)
# The growing corpus of each target stays in fuzz-corpus/<target>, crash inputs go to
# build-fuzz/artifacts/<target>/. Exits non-zero when any target finds a crash, a leak or a
# time-out.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=300
if [ "${1:-}" = "--smoke" ]; then
  seconds=30
  shift
fi
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi

bash "$root/scripts/setup.sh"
build=$root/build-fuzz
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKORVALOT_BUILD_FUZZ=ON \
  -DKORVALOT_BUILD_APP=OFF -DKORVALOT_BUILD_BENCH=OFF -DKORVALOT_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" --target korvalot_fuzzers -- -j"$(nproc)"

if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(grep -v '^$' "$build/tests/fuzz/fuzzers.txt")
fi

failed=()
for name in "${targets[@]}"; do
  corpus=$root/fuzz-corpus/$name
  artifacts=$build/artifacts/$name
  mkdir -p "$corpus" "$artifacts"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$artifacts/")
  if [ "$name" = json ]; then
    # The reader holds less than eight times its input: inputs up to 128 KiB, and no single
    # allocation above 1 MiB (eight times that), however the input is shaped.
    args+=(-max_len=131072 -malloc_limit_mb=1)
  fi
  if [ -f "$root/tests/fuzz/$name.dict" ]; then
    args+=(-dict="$root/tests/fuzz/$name.dict")
  fi
  seeds=()
  if [ -d "$root/tests/fuzz/corpus/$name" ]; then
    seeds=("$root/tests/fuzz/corpus/$name")
  fi
  echo "== fuzz_$name for $seconds s"
  if ! "$build/tests/fuzz/fuzz_$name" "${args[@]}" "$corpus" "${seeds[@]}"; then
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (inputs in build-fuzz/artifacts/)" >&2
  exit 1
fi
echo "fuzzing: no problems found"
