#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks that every #include "..." of the program and the emulator points down the layers:
#
#   src/cli > src/commands > src/adapter > src/trace > src/protocol > src/serial
#
# A folder of src/ may include its own headers and those of the folders below it; sim/ may
# include its own and src/protocol's. Tests, benchmarks and fuzzers may include anything.
# Prints each include that points up or sideways and exits 1 if there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(serial protocol trace adapter commands cli)

rank() {
  local i
  for i in "${!layers[@]}"; do
    [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
  done
  echo -1
}

bad=0
while IFS=: read -r file line text; do
  target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"$text")
  case "$file" in
    src/*)
      from=$(cut -d/ -f2 <<<"$file")
      [[ "$target" == */* ]] || continue # a header beside the file
      to=${target%%/*}
      if [ "$(rank "$to")" -lt 0 ] || [ "$(rank "$to")" -gt "$(rank "$from")" ]; then
        echo "$file:$line: src/$from may not include \"$target\""
        bad=1
      fi
      ;;
    sim/*)
      if [[ "$target" == */* && "$target" != protocol/* ]]; then
        echo "$file:$line: sim/ may include only its own headers and protocol/, not \"$target\""
        bad=1
      fi
      ;;
  esac
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' src sim --include='*.h' --include='*.cpp')

exit "$bad"
