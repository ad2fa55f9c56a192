#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The one-command demo: builds vantrel and vantrel-emu (and the example firmware
# when sdcc is at hand), starts the emulated adapter, asks it who it is, programs
# the firmware, reads the chip back and shows that the dump matches the image, then
# prints how long the write and the read took on a line paced like a real one, next
# to the time the bytes they exchanged take on the wire.
# Run from anywhere: scripts/demo.sh. VANTREL_DEMO_BUILD=DIR uses another build
# directory instead of the default preset's.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
    echo "demo: FAILED: $*" >&2
    exit 1
}
step() { printf '\n== %s\n' "$*"; }

command -v cmake >/dev/null || fail "cmake is not installed"
command -v python3 >/dev/null || fail "python3 is needed to compare the images"

# The line speed: vantrel sets it on the port, and the emulator paces its bytes to it.
speed=115200
build=${VANTREL_DEMO_BUILD:-}

step "Building"
if [[ -z $build ]]; then
    build=build/default
    cmake --preset default >/dev/null || fail "cmake configure failed"
    cmake --build --preset default --target vantrel vantrel-emu || fail "build failed"
else
    [[ -f $build/CMakeCache.txt ]] || cmake -S . -B "$build" >/dev/null || fail "cmake configure failed"
    cmake --build "$build" -j2 --target vantrel vantrel-emu || fail "build failed"
fi
vantrel=$build/vantrel
emu=$build/sim/vantrel-emu
[[ -x $vantrel && -x $emu ]] || fail "built programs not found under $build"

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-demo.XXXXXX")
emu_pid=""
cleanup() {
    if [[ -n $emu_pid ]] && kill -0 "$emu_pid" 2>/dev/null; then
        kill -TERM "$emu_pid" 2>/dev/null || true
        wait "$emu_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

image=$build/examples/blink/blink.ihx
if command -v sdcc >/dev/null; then
    cmake --build "$build" -j2 --target example_firmware >"$work/firmware.log" 2>&1 ||
        echo "demo: the example firmware did not build (see below); using a generated image" >&2
fi
if [[ -f $image ]]; then
    echo "Image: the example firmware $image"
else
    image=$work/generated.hex
    echo "Image: sdcc or the example firmware is missing; using a generated test image"
    python3 - "$image" <<'PY'
import sys
# Deterministic bytes: a code-like run from 0x0000 and a table near the top of flash.
seed, data = 0x1234, {}
for base, length in ((0x0000, 1500), (0x1D00, 200)):
    for i in range(length):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        data[base + i] = (seed >> 16) & 0xFF
with open(sys.argv[1], "w") as out:
    addrs = sorted(data)
    for start in range(0, len(addrs), 16):
        chunk = addrs[start:start + 16]
        rec = bytes([len(chunk), chunk[0] >> 8, chunk[0] & 0xFF, 0]) + bytes(data[a] for a in chunk)
        out.write(":%s%02X\n" % (rec.hex().upper(), (-sum(rec)) & 0xFF))
    out.write(":00000001FF\n")
PY
fi

# Each step gets an emulator of its own that serves one run of vantrel (--once), so
# its trace holds that run's exchanges alone; the flash goes from one to the next
# through --save and --flash. --baud-pacing delivers the bytes at the line's speed,
# as a real adapter does, so the times below are those of a real line.
emu_start() { # NAME [EMULATOR OPTION]...: starts it, sets $port
    local name=$1
    shift
    "$emu" --baud-pacing --once --trace "$@" >"$work/$name.out" 2>"$work/$name.trace" &
    emu_pid=$!
    port=""
    for _ in $(seq 100); do
        if [[ -s $work/$name.out ]]; then
            port=$(head -n 1 "$work/$name.out")
            break
        fi
        kill -0 "$emu_pid" 2>/dev/null || break
        sleep 0.1
    done
    [[ -n $port ]] || fail "vantrel-emu gave no port within 10 s: $(cat "$work/$name.trace")"
    echo "vantrel-emu --baud-pacing serves $port"
}
emu_finish() { # waits up to 10 s for the emulator to end after its run
    for _ in $(seq 100); do
        kill -0 "$emu_pid" 2>/dev/null || break
        sleep 0.1
    done
    local status=0
    kill -0 "$emu_pid" 2>/dev/null && fail "vantrel-emu did not end after the run"
    wait "$emu_pid" || status=$?
    emu_pid=""
    ((status == 0)) || fail "vantrel-emu ended with status $status"
}
progress() { # COMMAND...: runs it; in a log rather than on a terminal, keeps only
    # the lines of its standard error that are not progress lines
    if [[ -t 2 ]]; then
        "$@"
        return
    fi
    local status=0
    "$@" 2>"$work/stderr" || status=$?
    tr '\r' '\n' <"$work/stderr" | grep -Ev '^ *$|^[0-9A-F]{4}(-[0-9A-F]{4}: ok|: reading\.)$' >&2
    return $status
}
timed() { # NAME COMMAND...: runs it, stores its run time in seconds in $work/NAME.time
    local name=$1 t0 t1
    shift
    t0=$(date +%s%N)
    "$@" || return
    t1=$(date +%s%N)
    echo $(((t1 - t0) / 1000000)) >"$work/$name.time"
}

step "vantrel --serial PORT --speed $speed -i"
emu_start inquire
"$vantrel" --serial "$port" --speed "$speed" -i | tee "$work/inquire.txt" ||
    fail "inquire failed"
grep -q '^Adapter: ' "$work/inquire.txt" || fail "the adapter was not found"
emu_finish

step "vantrel --serial PORT --speed $speed -w -f $image"
emu_start write --save "$work/written.hex"
timed write progress "$vantrel" --serial "$port" --speed "$speed" -w -f "$image" || fail "write failed"
emu_finish

step "vantrel --serial PORT --speed $speed -r > dump.hex"
emu_start read --flash "$work/written.hex" --save "$work/saved.hex"
timed read progress "$vantrel" --serial "$port" --speed "$speed" -r >"$work/dump.hex" || fail "read failed"
emu_finish
echo "$(grep -c '' "$work/dump.hex") lines of Intel HEX read back"

step "Comparing flash 0x0000-0x1DFF"
python3 - "$image" "$work/dump.hex" "$work/saved.hex" <<'PY' || fail "the chip does not hold the image"
import sys

def load(path):
    flash = bytearray(b"\xff" * 0x10000)
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line:
                continue
            rec = bytes.fromhex(line[1:])
            if line[0] != ":" or sum(rec) & 0xFF or len(rec) != rec[0] + 5:
                sys.exit(f"{path}:{number}: not a valid Intel HEX record")
            if rec[3] == 1:
                return flash
            if rec[3] == 0:
                at = rec[1] << 8 | rec[2]
                flash[at:at + rec[0]] = rec[4:-1]
    sys.exit(f"{path}: no end-of-file record")

image, dump, saved = (load(p)[:0x1E00] for p in sys.argv[1:4])
used = sum(1 for b in image if b != 0xFF)
for name, other in (("read back", dump), ("emulator's flash", saved)):
    diff = [a for a in range(0x1E00) if image[a] != other[a]]
    if diff:
        sys.exit(f"{name}: {len(diff)} bytes differ, first at 0x{diff[0]:04X}")
    print(f"{name}: all 7680 bytes match the image ({used} bytes not 0xFF)")
PY

step "Time on a line at $speed bit/s"
python3 - "$speed" "$work" <<'PY' || fail "the emulator's trace could not be read"
import re, sys

speed, work = int(sys.argv[1]), sys.argv[2]

def wire_bytes(trace):
    """Bytes to and from the adapter, from the emulator's decoded trace: one line per
    command byte, with the data frame before it and the reply after it."""
    sent = received = exchanges = 0
    for line in open(trace):
        exchanges += 1
        sent += 1  # the command byte
        n = 0  # data bytes of the frame before it
        m = re.match(r"(\w+) 0x[0-9A-F]{4} (\d+) bytes(?: \[(\d+) data bytes\])?", line)
        if m:
            n = 3 + (int(m[2]) if m[1] == "BLOCK_WRITE" else 0)
            n = 3 + int(m[3]) if m[3] else n
        elif re.match(r"\w+ 0x[0-9A-F]{2}\b", line):
            n = 1
        elif "[frame " in line:
            n = len(line.split("[frame ", 1)[1].split("]")[0].split())
        elif "[overlong frame]" in line:
            sys.exit(f"{trace}: a frame too long to count")
        if n:
            sent += 1 + n + (n + 6) // 7  # 0x00, a header per 7 bytes, the bytes
        if "->" in line and "(no reply)" not in line:
            received += len(re.findall(r"\b[0-9A-F]{2}\b", line.split("->", 1)[1].split("(")[0]))
    return exchanges, sent, received

print(f"{'':6} {'run time':>8} {'exchanges':>10} {'bytes to/from adapter':>22} {'wire time':>10}")
for name in ("write", "read"):
    seconds = int(open(f"{work}/{name}.time").read()) / 1000
    exchanges, sent, received = wire_bytes(f"{work}/{name}.trace")
    wire = (sent + received) * 10 / speed  # 8 data bits, a start and a stop bit
    print(f"{name:6} {seconds:7.2f}s {exchanges:>10} {sent:>13} / {received:<6} {wire:9.2f}s")
print("Wire time: the bytes exchanged, 10 bits each. The rest of the run time is spent")
print("turning round and in quiet waits: vantrel waits for each reply before it sends the")
print("next request, but for a fetch, which goes out behind its block read.")
PY

printf '\nDemo completed.\n'
