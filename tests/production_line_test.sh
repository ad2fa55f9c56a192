#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# examples/production/program-boards.sh end to end: four vantrel-emu adapters, one of
# which refuses a block so that its write fails, programmed twice with serial numbers (the
# second time from an image as editors leave it); two stations sharing one counter through a
# link; bad input that must write nothing; and an interruption that must put every port back.
# Usage: production_line_test.sh VANTREL VANTREL_EMU SCRIPT VERSION (CTest passes them).
# Exit status 77 (skipped) when srec_cat, srec_cmp, flock or python3 is missing.
set -euo pipefail
for tool in srec_cat srec_cmp flock python3 timeout; do
    command -v "$tool" >/dev/null || { echo "production_line: $tool is not installed; skipped"; exit 77; }
done
vantrel=$(realpath "$1") emu=$(realpath "$2") script=$(realpath "$3") version=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/production-line.XXXXXX")
emu_pids=()
cleanup() {
    for pid in "${emu_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${emu_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    [[ -n ${KEEP:-} ]] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
fail() {
    echo "production_line: FAILED: $*" >&2
    exit 1
}
cd "$work"
export VANTREL=$vantrel VANTREL_VERSION=$version BY_ID_DIR=$work/by-id
mkdir by-id

# Emulator N on the link portN, with a by-id name of its own; the trace shows every
# command it gets.
start_emu() { # N [EMULATOR OPTION]...
    local n=$1
    shift
    timeout 120 "$emu" --link "port$n" --trace "$@" >"emu$n.out" 2>"emu$n.trace" &
    emu_pids+=($!)
    for _ in $(seq 100); do
        [[ -s emu$n.out ]] && break
        sleep 0.1
    done
    [[ -s emu$n.out ]] || fail "vantrel-emu $n gave no port within 10 s"
    ln -s "$(head -n 1 "emu$n.out")" "by-id/usb-Vantrel_Emu_$n-if00-port0"
}
for n in 1 2 3 4; do
    fault=()
    ((n != 3)) || fault=(--fault write-refused:0x0100) # every try of block 0x0100 refused
    start_emu "$n" "${fault[@]}"
done

# An image with a blank 0x1DF0 for the serial number, and the counter's first number.
srec_cat -generate 0x0000 0x0600 -repeat-string "vantrel production line " \
    -generate 0x1D00 0x1D80 -repeat-data 1 2 3 5 8 \
    -o image.hex -intel -address-length=2 -output_block_size=16
echo 1000 >serial.counter
# The same image as a Windows editor and a binary-to-HEX tool leave it, which vantrel reads:
# a byte-order mark, comment lines, blanks after each record, 0xFF spelt out at 0x1DF0.
{
    printf '\xEF\xBB\xBF# vantrel production line\r\n; the serial number goes at 0x1DF0\r\n'
    srec_cat image.hex -intel -generate 0x1DF0 0x1DF4 -constant 0xFF \
        -o - -intel -address-length=2 -output_block_size=16 | sed 's/$/ \r/'
} >edited.hex
quoted='2.1 "rc1", patched' # run 2's version, as the record must quote it

# The record: every line parses, with the fields it must have: run 1's four lines, then run
# 2's, each with the sha256 of the board's own copy in the logs and of the image given.
# Prints "port serial result".
check_csv() { # LINES
    python3 - boards.csv "$1" "$version" "$quoted" "$work/by-id" image.hex edited.hex <<'PY'
import csv, glob, hashlib, os, re, sys
path, lines, version, quoted, by_id, *images = sys.argv[1], int(sys.argv[2]), *sys.argv[3:]
sha = lambda p: hashlib.sha256(open(p, "rb").read()).hexdigest()
with open(path, newline="") as f:
    rows = list(csv.reader(f))
header = "time_utc,port,by_id,serial,image_sha256,source_sha256,vantrel_version,result,seconds"
assert rows[0] == header.split(","), rows[0]
assert len(rows) == lines + 1, f"{len(rows) - 1} lines, not {lines}"
for i, r in enumerate(rows[1:]):
    assert len(r) == 9, r
    time, port, name, serial, image, source, vers, result, seconds = r
    run = i // 4 + 1
    (copy,) = glob.glob(f"logs{run}/*-{name}.hex")
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", time), r
    assert os.path.realpath(os.path.join(by_id, name)) == port, r
    assert re.fullmatch(r"\d+", serial) and image == sha(copy) != source, r
    assert source == sha(images[run - 1]) and vers == (version, quoted)[run - 1], r
    assert result in ("ok", "failed") and re.fullmatch(r"\d+\.\d\d", seconds), r
    print(port, serial, result)
PY
}

# What a board holds: the recipe of the README (exit status 0 when it holds the image over
# the range the image covers, 2 when it differs) and the serial number read back.
board_check() { # PORT: prints "status serial"
    timeout 30 "$vantrel" --serial "$1" -r >dump.hex 2>/dev/null || fail "read of $1 failed"
    local status=0
    srec_cmp image.hex -intel dump.hex -intel -fill 0xFF 0x0000 0x1E00 -crop -within image.hex -intel \
        >/dev/null 2>&1 || status=$?
    echo "$status $(srec_cat dump.hex -intel -fill 0xFF 0x0000 0x1E00 -crop 0x1DF0 0x1DF4 \
        -offset -0x1DF0 -o - -binary | od -An -tu4 --endian=little | tr -d ' ')"
}

# Both runs: run 1 by the by-id pattern, run 2 by the list of ports.
for run in 1 2; do
    first=$((1000 + 4 * (run - 1)))
    boards=(-m 'usb-Vantrel_Emu_*' image.hex)
    ((run == 1)) || boards=(-t edited.hex port1 port2 port3 port4) # -t: a trace per board
    status=0
    vers=$version
    ((run == 1)) || vers=$quoted
    # VANTREL_CHECK_IMAGE set around the script must not reach the boards' writes.
    VANTREL_VERSION=$vers VANTREL_CHECK_IMAGE=1 timeout 60 bash "$script" -a 0x1DF0 -w 4 \
        -o boards.csv -l "logs$run" "${boards[@]}" >"out$run" 2>"err$run" || status=$?
    ((status == 1)) || fail "run $run: status $status, not 1: $(cat "err$run")"
    [[ $(<serial.counter) == $((first + 4)) ]] || fail "run $run: counter $(<serial.counter)"
    grep -qx "4 boards: 3 ok, 1 failed, 0 interrupted; [0-9.]* s in all; record boards.csv" \
        "out$run" || fail "run $run: no total line: $(cat "out$run")"
    record=$(check_csv $((4 * run))) || fail "run $run: the record does not parse"
    this_run=$(tail -n 4 <<<"$record")
    [[ $(cut -d' ' -f2 <<<"$this_run" | sort -n | tr '\n' ' ') == "$first $((first + 1)) $((first + 2)) $((first + 3)) " ]] ||
        fail "run $run: serial numbers not $first to $((first + 3)): $this_run"
    for n in 1 2 3 4; do
        pts=$(head -n 1 "emu$n.out")
        read -r _ serial result <<<"$(grep "^$pts " <<<"$this_run")"
        summary=$(grep "^$pts " "out$run") || fail "run $run: no summary line for board $n"
        read -r held held_serial <<<"$(board_check "port$n")"
        if ((n == 3)); then
            [[ $result == failed && $summary =~ " failed ".*" serial $serial spoiled  log logs$run/" ]] ||
                fail "run $run: board 3 not failed and spoiled: $summary"
            ((held == 2)) || fail "run $run: board 3 holds the image (srec_cmp status $held)"
        else
            [[ $result == ok && $summary =~ " ok ".*" serial $serial  usb-Vantrel_Emu_$n-if00-port0"$ ]] ||
                fail "run $run: board $n: $result: $summary"
            ((held == 0)) || fail "run $run: board $n does not hold the image (srec_cmp status $held)"
            [[ $held_serial == "$serial" ]] || fail "run $run: board $n holds $held_serial, not $serial"
        fi
    done
done
[[ $(grep -l '^# vantrel trace, ' logs2/*-usb-Vantrel_Emu_?-if00-port0.trace | wc -l) == 4 &&
    ! -e logs1/01-usb-Vantrel_Emu_1-if00-port0.trace ]] || fail "not one trace per board with -t"
# No number went to two boards, and the spoiled ones went to none.
[[ $(cut -d' ' -f2 <<<"$record" | sort -u | wc -l) == 8 ]] || fail "a number was handed out twice"

# Two stations at once sharing one counter, one of them through a symbolic link, with 1-byte
# numbers from 251: each number goes to one board, the last being 254 (255 reads as blank
# flash), and the link is still a link.
echo 251 >shared.counter
ln -s shared.counter station.counter
statuses=()
for station in shared station; do
    ports=(port1 port2)
    [[ $station == shared ]] || ports=(port3 port4) # port3 fails, keeping its number
    timeout 60 bash "$script" -a 0x1DF0 -w 1 -c "$station.counter" -o shared.csv \
        -l "logs-$station" image.hex "${ports[@]}" >"out-$station" 2>"err-$station" &
    statuses+=($!)
done
wait "${statuses[0]}" || fail "station 1: status $?: $(cat err-shared)"
status=0
wait "${statuses[1]}" || status=$?
((status == 1)) || fail "station 2: status $status, not 1: $(cat err-station)"
numbers=$(python3 -c 'import csv; print(*sorted(r[3] for r in csv.reader(open("shared.csv"))))')
[[ $numbers == "251 252 253 254 serial" && -L station.counter && $(<shared.counter) == 255 ]] ||
    fail "shared counter: numbers $numbers, counter $(<shared.counter), $(ls -l station.counter)"

# Bad input: its own message for each, status 2, no byte to any adapter, nothing recorded.
mkdir counter.dir
echo time_utc,port,by_id,serial,image_sha256,vantrel_version,result,seconds >old.csv
cat image.hex image.hex >twice.hex # data after the end record: dropped by srec_cat, refused by vantrel
echo 12x >garbled.counter
traces=$(cat emu*.trace | wc -c)
cases=(
    "the image image.hex has data other than 0xFF there|-a 0x1D70 image.hex port1"
    'image twice.hex: vantrel says "Invalid file format."|-a 0x1DF0 twice.hex port1'
    "runs past 0x1DFE (0x1DFF is the chip's lock byte)|-a 0x1DFC image.hex port1"
    "image missing.hex: no such file|-a 0x1DF0 missing.hex port1"
    "counter garbled.counter holds '12x', not a number|-a 0x1DF0 -c garbled.counter image.hex port1"
    "counter counter.dir: not a readable file|-a 0x1DF0 -c counter.dir image.hex port1"
    "the number 255 does not fit in a 1-byte serial number: the largest is 254 (255 would read as blank flash|-a 0x1DF0 -w 1 -c station.counter image.hex port1"
    "counter absent.counter does not exist|-a 0x1DF0 -c absent.counter image.hex port1"
    "port port9 does not exist|-a 0x1DF0 image.hex port1 port9"
    "port image.hex is not a serial device|-a 0x1DF0 image.hex port1 image.hex"
    "no port matches $BY_ID_DIR/usb-Nobody_*|-a 0x1DF0 -m usb-Nobody_* image.hex"
    "log directory logs1 is not empty|-l logs1 -a 0x1DF0 image.hex port1"
    "record old.csv begins 'time_utc,port,by_id,serial,image_sha256,vantrel_version,result,seconds'|-o old.csv image.hex port1"
)
for case in "${cases[@]}"; do
    message=${case%%|*}
    read -ra args <<<"${case#*|}"
    status=0
    timeout 30 bash "$script" -o boards.csv -l logs-bad "${args[@]}" >out-bad 2>err-bad || status=$?
    [[ $status == 2 && $(<err-bad) == "program-boards: "*"$message"*"; nothing written." ]] ||
        fail "${args[*]}: status $status, message: $(cat err-bad)"
    [[ ! -e logs-bad && $(<serial.counter) == 1008 && $(<shared.counter) == 255 &&
        $(grep -c '' boards.csv) == 9 ]] ||
        fail "${args[*]}: left a log, moved the counter or wrote to the record"
done
[[ $(cat emu*.trace | wc -c) == "$traces" ]] || fail "bad input reached an adapter"

# Ctrl-C in the middle of the writes, on two paced adapters at 9600 bit/s: every run
# stops, every port is put back (its settings as before, and free for the next run).
start_emu 5 --baud-pacing
start_emu 6 --baud-pacing
before=$(stty -g -F port5)
set -m
timeout 60 bash "$script" -s 9600 -a 0x1DF0 -o boards.csv -l logs3 image.hex port5 port6 \
    >out3 2>err3 &
line=$!
set +m
writing() { # whether both boards have written a block
    local log n=0
    for log in logs3/*.log; do
        tr '\r' '\n' <"$log" | grep -q '^[0-9A-F]\{4\}-[0-9A-F]\{4\}: ok$' && n=$((n + 1))
    done
    ((n == 2))
}
for _ in $(seq 100); do
    writing 2>/dev/null && break
    sleep 0.1
done
kill -INT -- -"$line" # as a terminal does: to the whole foreground process group
status=0
wait "$line" || status=$?
((status == 130)) || fail "interrupted: status $status, not 130: $(cat err3)"
grep -qx "2 boards: 0 ok, 0 failed, 2 interrupted; [0-9.]* s in all; record boards.csv" out3 ||
    fail "interrupted: $(cat out3)"
for log in logs3/*.log; do
    tr '\r' '\n' <"$log" | grep -q "^Interrupted: the chip is left partly erased or written" ||
        fail "$log: vantrel was not interrupted"
done
for n in 5 6; do
    [[ $(stty -g -F "port$n") == "$before" ]] || fail "board $n: port settings not put back"
    timeout 30 "$vantrel" --serial "port$n" -i >/dev/null 2>&1 || fail "board $n: port not free"
done
[[ $(grep -c ',"interrupted",' boards.csv) == 2 && $(<serial.counter) == 1010 ]] ||
    fail "interrupted runs not recorded with their numbers"
echo "production_line: passed"
