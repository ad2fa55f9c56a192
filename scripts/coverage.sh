#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Line and branch coverage of src/ by the test suite.
#   scripts/coverage.sh             runs the "coverage" workflow preset (build/coverage)
#   scripts/coverage.sh BUILD_DIR   configures, builds and tests in BUILD_DIR instead
# Writes BUILD_DIR/coverage.txt (per file), BUILD_DIR/coverage-summary.txt and an HTML
# report under BUILD_DIR/coverage-html/.
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
cd "$source_dir"

if [ $# -ge 1 ]; then
  build_dir="$(mkdir -p "$1" && cd "$1" && pwd)"
  cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DVANTREL_COVERAGE=ON -DVANTREL_SANITIZE=OFF
  # Counters from an earlier run would add up with this one.
  find "$build_dir" -name '*.gcda' -delete
  cmake --build "$build_dir" -j2
  ctest --test-dir "$build_dir" -j2 --output-on-failure --timeout 300 || echo "coverage: some tests failed" >&2
else
  build_dir="$source_dir/build/coverage"
  if [ -d "$build_dir" ]; then
    find "$build_dir" -name '*.gcda' -delete
  fi
  cmake --workflow --preset coverage || echo "coverage: the workflow reported failures" >&2
fi

mkdir -p "$build_dir/coverage-html"
common=(--root "$source_dir" --filter "$source_dir/src/" --object-directory "$build_dir"
        --exclude-unreachable-branches --exclude-throw-branches)
gcovr "${common[@]}" --txt "$build_dir/coverage.txt" \
      --html-details "$build_dir/coverage-html/index.html" \
      --print-summary | tee "$build_dir/coverage-summary.txt"
gcovr "${common[@]}" --branches --txt "$build_dir/coverage-branches.txt"
echo "coverage: per-file lines in $build_dir/coverage.txt, branches in $build_dir/coverage-branches.txt"
