#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The production line's figure: examples/production/program-boards.sh writing a whole-flash
# image (0x0000-0x1DEF, and a 4-byte serial number at 0x1DF0: all 480 blocks) to 1, 4 and 8
# paced vantrel-emu adapters at once at 115200 bit/s, beside one plain vantrel -w of the
# same image to one adapter. One run of each; prints a Markdown table for bench/RESULTS.md.
#   bench/production_bench.sh [BUILD_DIR] [BOARD COUNT]...   (default build/default 1 4 8)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/default}")
shift || true
counts=("$@")
((${#counts[@]})) || counts=(1 4 8)
vantrel=$build/vantrel emu=$build/sim/vantrel-emu script=$PWD/examples/production/program-boards.sh
[[ -x $vantrel && -x $emu ]] || { echo "build vantrel and vantrel-emu in $build first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/production-bench.XXXXXX")
pids=()
stop_emus() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    pids=()
}
trap 'stop_emus; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
cd "$work"
start_emus() { # N: paced adapters on the links port1..portN
    local n
    for ((n = 1; n <= $1; n++)); do
        rm -f "emu$n.out"
        timeout 600 "$emu" --baud-pacing --link "port$n" >"emu$n.out" 2>/dev/null &
        pids+=($!)
    done
    for ((n = 1; n <= $1; n++)); do
        for _ in $(seq 100); do [[ -s emu$n.out ]] && break; sleep 0.1; done
        [[ -s emu$n.out ]] || { echo "vantrel-emu $n did not start" >&2; exit 1; }
    done
}
now_us() { echo "${EPOCHREALTIME//[!0-9]/}"; }

srec_cat -generate 0x0000 0x1DF0 -repeat-string "vantrel production bench, one whole flash. " \
    -o image.hex -intel -address-length=2 -output_block_size=16
srec_cat image.hex -intel -generate 0x1DF0 0x1DF4 -constant-little-endian 1 4 \
    -o plain.hex -intel -address-length=2 -output_block_size=16

start_emus 1
t0=$(now_us)
"$vantrel" --serial port1 --speed 115200 -w -f plain.hex 2>/dev/null
plain=$(($(now_us) - t0))
stop_emus

rows=()
for n in "${counts[@]}"; do
    start_emus "$n"
    echo 1 >serial.counter
    rm -f boards.csv
    ports=()
    for ((i = 1; i <= n; i++)); do ports+=("port$i"); done
    t0=$(now_us)
    VANTREL=$vantrel bash "$script" -s 115200 -a 0x1DF0 -l "logs$n" image.hex "${ports[@]}" >"out$n"
    total=$(($(now_us) - t0))
    stop_emus
    grep -q "^$n boards: $n ok," "out$n" || { cat "out$n" >&2; exit 1; }
    rows+=("$(tail -n +2 boards.csv | awk -F, '{ print $NF }' | sort -n | awk -v n="$n" -v total="$total" \
        -v plain="$plain" '{ s[NR] = $1 } END {
            median = NR % 2 ? s[(NR + 1) / 2] : (s[NR / 2] + s[NR / 2 + 1]) / 2
            printf "| %d | %.2f | %.2f | %.2f | %.2f | %.3f | %.3f | %.2f |", n, median, s[1], s[NR],
                total / 1e6, median / (plain / 1e6), total / plain, total / 1e6 / n }')")
done

echo "Plain \`vantrel -w\`, one adapter, no script: $((plain / 1000000)).$(printf %02d $((plain % 1000000 / 10000))) s"
echo
echo "| boards | per board s (median) | fastest | slowest | total s | median / plain | total / plain | total / boards s |"
echo "|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
