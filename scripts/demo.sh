#!/usr/bin/env bash
# The one-command demo: builds vantrel and vantrel-emu (and the example firmware
# when sdcc is at hand), starts the emulated adapter, asks it who it is, programs
# the firmware, reads the chip back and shows that the dump matches the image.
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

step "Starting the emulated adapter"
"$emu" --save "$work/saved.hex" >"$work/emu.out" 2>"$work/emu.err" &
emu_pid=$!
port=""
for _ in $(seq 100); do
    if [[ -s $work/emu.out ]]; then
        port=$(head -n 1 "$work/emu.out")
        break
    fi
    kill -0 "$emu_pid" 2>/dev/null || break
    sleep 0.1
done
[[ -n $port ]] || fail "vantrel-emu gave no port within 10 s: $(cat "$work/emu.err")"
echo "vantrel-emu serves $port"

step "vantrel --serial $port --speed $speed -i"
"$vantrel" --serial "$port" --speed "$speed" -i | tee "$work/inquire.txt" ||
    fail "inquire failed"
grep -q '^Adapter: ' "$work/inquire.txt" || fail "the adapter was not found"

step "vantrel --serial $port --speed $speed -w -f $image"
"$vantrel" --serial "$port" --speed "$speed" -w -f "$image" || fail "write failed"

step "vantrel --serial $port --speed $speed -r > dump.hex"
"$vantrel" --serial "$port" --speed "$speed" -r >"$work/dump.hex" || fail "read failed"
echo "$(grep -c '' "$work/dump.hex") lines of Intel HEX read back"

step "Stopping the emulated adapter"
kill -TERM "$emu_pid"
wait "$emu_pid" || fail "vantrel-emu ended with status $?"
emu_pid=""

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

printf '\nDemo completed.\n'
