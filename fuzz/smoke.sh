#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang into BUILD_DIR and runs each for a short while on a
# copy of its seed corpus. Usage: fuzz/smoke.sh BUILD_DIR [SECONDS_PER_TARGET]
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${1:?usage: fuzz/smoke.sh BUILD_DIR [SECONDS_PER_TARGET]}"
mkdir -p "$build_dir"
build_dir="$(cd "$build_dir" && pwd)"
seconds="${2:-20}"

cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DVANTREL_FUZZ=ON -DVANTREL_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j2

status=0
for source in "$source_dir"/fuzz/*_fuzz.cpp; do
  target="$(basename "$source" .cpp)"
  binary="$build_dir/fuzz/$target"
  if [ ! -x "$binary" ]; then
    echo "smoke: $target was not built" >&2
    status=1
    continue
  fi
  # Seed corpus: fuzz/corpus/<target> or fuzz/corpus/<target without _fuzz>.
  seeds="$source_dir/fuzz/corpus/$target"
  [ -d "$seeds" ] || seeds="$source_dir/fuzz/corpus/${target%_fuzz}"
  work="$build_dir/fuzz/smoke-corpus/$target"
  mkdir -p "$work"
  if [ -d "$seeds" ]; then
    cp -n "$seeds"/* "$work"/ 2>/dev/null || true
  fi
  echo "smoke: $target for ${seconds}s"
  # Findings land in the build directory as crash-*/timeout-* files; libFuzzer exits non-zero.
  if ! (cd "$build_dir/fuzz" && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
          "$binary" -max_total_time="$seconds" -timeout=30 -close_fd_mask=3 \
          -print_final_stats=1 "$work"); then
    echo "smoke: $target found a fault (see $build_dir/fuzz)" >&2
    status=1
  fi
done
exit $status
