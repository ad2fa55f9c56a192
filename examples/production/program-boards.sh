#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A production line on one host: writes one Intel HEX image to the boards on several
# C2 adapters at once, each board with a serial number of its own patched into its
# copy of the image, and appends one CSV line per board to a record.
#
#   program-boards.sh [options] IMAGE [PORT]...
#
#   -m PATTERN  also every /dev/serial/by-id/PATTERN (quote it: -m 'usb-FTDI_*')
#   -s SPEED    vantrel --speed (default: vantrel's own, 19200)
#   -a ADDRESS  write a serial number there (for example 0x1DF0), where the image has
#               no byte or only bytes 0xFF; without -a, none
#   -w WIDTH    its width in bytes, 1 to 4 (default 4), little-endian ...
#   -b          ... or big-endian
#   -c FILE     counter: holds the next serial number (default serial.counter); it is
#               locked and rewritten in place, so that stations may share it, by a
#               link or a mount too
#   -o FILE     the CSV record, appended to (default boards.csv)
#   -l DIR      logs: one per board, with its image (default logs/<UTC time>-<pid>)
#   -t          also a VANTREL_TRACE file per board, beside its log (so does a
#               VANTREL_TRACE set in the environment)
#   -R          vantrel --reset: start the board after its write
#
# The image is judged by vantrel (VANTREL_CHECK_IMAGE) before anything is done; one it
# refuses is refused in its words. Serial numbers run up to 2^(8 x WIDTH) - 2 (254 at 1
# byte): the next, every byte 0xFF, would read as blank flash and is never handed out.
# Record: time_utc,port,by_id,serial,image_sha256,source_sha256,vantrel_version,result,
# seconds; image_sha256 is that of the board's own copy, source_sha256 of IMAGE.
# Exit status: 0 every board written, 1 a board failed, 2 bad input (nothing written),
# 130 or 143 interrupted by SIGINT (Ctrl-C) or SIGTERM.
# Environment: VANTREL (the program, default vantrel), VANTREL_VERSION (the version for
# the record; default from dpkg, else from the vantrel-emu installed beside vantrel),
# BY_ID_DIR (default /dev/serial/by-id).
# Needs bash 5, xargs (findutils), flock (util-linux), srec_cat (srecord), sha256sum, and a
# vantrel that knows VANTREL_CHECK_IMAGE.
set -uo pipefail
me=program-boards
csv_header=time_utc,port,by_id,serial,image_sha256,source_sha256,vantrel_version,result,seconds

# The records of an image that vantrel accepted, from standard input, in the form srec_cat
# reads: vantrel's reader skips a byte-order mark opening the file, lines of text and text
# after a record, where srec_cat stops or warns. Every line that opens with ':' and ten or
# more hex digits, cut to them, up to the first end record; only the data, end and extended
# address records (types 00, 01, 02 and 04), the only ones that place bytes.
records() {
    tr '\r' '\n' | LC_ALL=C sed -n '1s/^\xEF\xBB\xBF//; s/^\(:[0-9A-Fa-f]\{10,\}\).*/\1/p' |
        LC_ALL=C awk '!ended && substr($0, 8, 2) ~ /^0[0124]$/ { print }
                      substr($0, 8, 2) == "01" { ended = 1 }'
}

# One board, in a process of its own that xargs starts: NAME PORT BY_ID (the by-id name,
# or empty). Writes its log, its line of the record and a result line for the summary.
board() {
    local name=$1 port=$2 by_id=$3 serial="" hex=$source hex_sha="" status=0 result stopped=""
    local log=$logdir/$name.log t0=${EPOCHREALTIME//[!0-9]/}
    exec 2>"$log" 8<"$logdir/boards"
    flock -s 8 # held until the board ends: an interrupted run waits for it
    trap 'stopped=1' INT TERM HUP # vantrel, in the same process group, ends first
    echo "# $(date -u +%FT%TZ) $port ${by_id:+($by_id) }image $image sha256 $sha" >&2
    if [[ -n $addr ]]; then
        hex="" # none until the board's own copy is made
        if serial=$(take_number); then
            hex=$logdir/$name.hex
            echo "# serial number $serial at $span, $width bytes $endian-endian, in $hex" >&2
            # The image's own bytes there, 0xFF all (checked before), give way to the number.
            records <"$source" | srec_cat -multiple -disable-sequence-warnings - -intel \
                -exclude "$addr" $((addr + width)) -generate "$addr" $((addr + width)) \
                -constant-"$endian"-endian "$serial" "$width" \
                -o "$hex" -intel -address-length=2 -output_block_size=16 || status=1 hex=""
        else
            serial="" status=1
        fi
    fi
    if [[ -n $hex ]]; then
        hex_sha=$(sha256sum <"$hex" | cut -d' ' -f1)
        echo "# image $hex sha256 $hex_sha" >&2
    fi
    local args=(--serial "$port" ${speed:+--speed "$speed"} -w -f "$hex" ${reset:+--reset})
    if ((status == 0)) && [[ -z $stopped ]]; then
        echo "# vantrel ${args[*]}" >&2
        if [[ -n $trace ]]; then
            VANTREL_TRACE=$logdir/$name.trace "$vantrel" "${args[@]}" || status=$?
        else
            "$vantrel" "${args[@]}" || status=$?
        fi
    fi
    if [[ -n $stopped ]] || ((status > 128)); then
        result=interrupted
    elif ((status == 0)); then
        result=ok
    else
        result=failed
    fi
    local us=$((${EPOCHREALTIME//[!0-9]/} - t0)) seconds
    printf -v seconds %d.%02d $((us / 1000000)) $((us % 1000000 / 10000))
    echo "# $result after $seconds s (vantrel status $status)" >&2
    { # The record, under its lock: a header when it is new, then one whole line.
        flock 9
        [[ -s $csv ]] || echo "$csv_header" >&9
        local q='"' # text quoted, a quote in it doubled
        printf '"%s","%s","%s",%s,"%s","%s","%s","%s",%s\n' "$(date -u +%FT%TZ)" \
            "${port//$q/$q$q}" "${by_id//$q/$q$q}" "$serial" "$hex_sha" "$sha" \
            "${version//$q/$q$q}" "$result" "$seconds" >&9
    } 9>>"$csv"
    echo "$result $seconds ${serial:--}" >"$logdir/$name.result"
    exit 0
}

# The largest serial number of the width: one more has every byte 0xFF, as blank flash has.
largest() { echo $(((1 << 8 * width) - 2)); }

# The next serial number from the counter, which moves on by one: a number is handed out
# once, whatever becomes of the board it went to. The lock is on the counter file itself and
# the file is rewritten in place through it, never replaced: every station that reaches the
# file, by a symbolic link, a hard link or a mount, waits on the same lock and reads what the
# last one wrote. A number past the largest is not handed out, and the counter stays.
take_number() {
    local n max
    max=$(largest)
    {
        flock 9 || return 1
        if ! [[ /proc/self/fd/9 -ef $counter ]]; then # replaced by another program meanwhile
            echo "$me: counter $counter was replaced while this board waited for it" >&2
            return 1
        fi
        n=$(</proc/self/fd/9) || return 1
        if ! [[ $n =~ ^[0-9]{1,18}$ ]]; then
            echo "$me: counter $counter holds '$n', not a number" >&2
            return 1
        fi
        n=$((10#$n))
        if ((n > max)); then
            echo "$me: counter $counter: $n is past $max, the largest $width-byte serial number ($((max + 1)) would read as blank flash, every byte 0xFF)" >&2
            return 1
        fi
        echo $((n + 1)) >/proc/self/fd/9 || return 1
        echo "$n"
    } 9<>"$counter"
}

if [[ ${1:-} == --board ]]; then # started by xargs below, with the settings exported
    shift
    board "$@"
fi

die() { # bad input: nothing is written
    echo "$me: $*; nothing written." >&2
    exit 2
}
usage() { # [STATUS]
    sed -n '/^#   program-boards/,/^set -uo/s/^# \{0,1\}//p' "$0"
    exit "${1:-2}"
}

export image="" speed="" addr="" width=4 endian=little counter=serial.counter csv=boards.csv
export logdir="" trace=${VANTREL_TRACE:+1} reset="" vantrel=${VANTREL:-vantrel}
unset VANTREL_TRACE # each board gets a trace of its own
unset VANTREL_CHECK_IMAGE # with it, each write would end at its check, status 0, unwritten
pattern=""
while getopts "m:s:a:w:bc:o:l:tRh" opt; do
    case $opt in
    m) pattern=$OPTARG ;;
    s) speed=$OPTARG ;;
    a) addr=$OPTARG ;;
    w) width=$OPTARG ;;
    b) endian=big ;;
    c) counter=$OPTARG ;;
    o) csv=$OPTARG ;;
    l) logdir=$OPTARG ;;
    t) trace=1 ;;
    R) reset=1 ;;
    h) usage 0 ;;
    *) usage >&2 ;;
    esac
done
shift $((OPTIND - 1))
(($# >= 1)) || usage >&2
image=$1
shift

[[ -z $speed || " 300 600 1200 2400 4800 9600 19200 38400 57600 115200 230400 " == *" $speed "* ]] ||
    die "-s $speed: not a speed vantrel takes"
for tool in flock srec_cat sha256sum xargs "$vantrel"; do
    command -v "$tool" >/dev/null || die "$tool is not installed (or not on PATH)"
done

# The image: judged by vantrel's own reader, as its write would judge it, before any number
# is taken or any board touched (VANTREL_CHECK_IMAGE: the port, /dev/null in case an older
# vantrel ignores the variable, is not opened). Its sha256 is taken first, so that a file
# changed after the check is caught when it is copied into the logs.
[[ -e $image ]] || die "image $image: no such file"
[[ -f $image && -r $image ]] || die "image $image: not a readable file"
export sha
sha=$(sha256sum <"$image" | cut -d' ' -f1)
accepted="Image accepted; nothing written, as VANTREL_CHECK_IMAGE is set."
verdict=$(VANTREL_CHECK_IMAGE=1 "$vantrel" --serial /dev/null -w -f "$image" 2>&1 </dev/null) ||
    die "image $image: vantrel says \"${verdict//$'\n'/ }\""
[[ $verdict == "$accepted" ]] ||
    die "$vantrel cannot check an image without writing it (VANTREL_CHECK_IMAGE): it says \"${verdict//$'\n'/ }\""

# The serial number: where it goes, and the counter it comes from.
if [[ -n $addr ]]; then
    [[ $width =~ ^[1-4]$ ]] || die "-w $width: the width is 1 to 4 bytes"
    [[ $addr =~ ^(0[xX][0-9a-fA-F]{1,4}|[1-9][0-9]{0,4}|0)$ ]] || die "-a $addr: not an address"
    export addr=$((addr))
    export span last=$((addr + width - 1))
    span=$(printf '0x%04X-0x%04X' "$addr" "$last")
    ((last <= 0x1DFE)) ||
        die "serial number at $span runs past 0x1DFE (0x1DFF is the chip's lock byte)"
    # Bytes of 0xFF there, as a binary image turned into HEX spells out, are blank flash.
    bytes=$(records <"$image" | srec_cat -multiple -disable-sequence-warnings - -intel \
        -fill 0xFF "$addr" $((last + 1)) -crop "$addr" $((last + 1)) -offset -"$addr" \
        -o - -binary | od -An -v -tx1) || die "image $image: srec_cat cannot read its records"
    blank=ffffffff
    [[ ${bytes//[!0-9a-f]/} == "${blank:0:2*width}" ]] ||
        die "serial number at $span: the image $image has data other than 0xFF there; give an address it leaves blank"
    [[ -e $counter ]] || die "counter $counter does not exist; create it with the first number: echo 1 > $counter"
    [[ -f $counter && -r $counter ]] || die "counter $counter: not a readable file"
    next=$(<"$counter")
    [[ $next =~ ^[0-9]{1,18}$ ]] || die "counter $counter holds '$next', not a number"
    [[ -w $counter ]] || die "counter $counter: not a writable file"
fi

# The ports: those given, and those of the pattern; each a serial device, none twice.
by_id_dir=${BY_ID_DIR:-/dev/serial/by-id}
ports=("$@")
if [[ -n $pattern ]]; then
    mapfile -t matched < <(compgen -G "$by_id_dir/$pattern")
    ((${#matched[@]})) || die "no port matches $by_id_dir/$pattern"
    ports+=("${matched[@]}")
fi
((${#ports[@]})) || die "no port given"
if [[ -n $addr ]] && ((10#$next + ${#ports[@]} - 1 > $(largest))); then
    numbers="the numbers $((10#$next)) to $((10#$next + ${#ports[@]} - 1)) do not all fit"
    ((${#ports[@]} > 1)) || numbers="the number $((10#$next)) does not fit"
    max=$(largest)
    die "counter $counter: $numbers in a $width-byte serial number: the largest is $max ($((max + 1)) would read as blank flash, every byte 0xFF)"
fi
declare -A seen
boards=() # NAME PORT BY_ID for each board
for port in "${ports[@]}"; do
    [[ -e $port ]] || die "port $port does not exist"
    device=$(readlink -f "$port")
    [[ -c $device ]] || die "port $port is not a serial device"
    [[ -z ${seen[$device]:-} ]] || die "ports ${seen[$device]} and $port are the same device, $device"
    seen[$device]=$port
    by_id=""
    for link in "$by_id_dir"/*; do
        [[ -L $link && $(readlink -f "$link") == "$device" ]] && by_id=${link##*/} && break
    done
    name=$(printf %02d $((${#boards[@]} / 3 + 1)))-${by_id:-${device#/dev/}}
    boards+=("${name//\//_}" "$device" "$by_id")
done
count=$((${#boards[@]} / 3))

: >>"$csv" 2>/dev/null || die "record $csv cannot be written"
header=$(head -n 1 "$csv")
[[ ! -s $csv || $header == "$csv_header" ]] ||
    die "record $csv begins '$header', not $csv_header; give a new record (-o FILE)"
logdir=${logdir:-logs/$(date -u +%Y%m%dT%H%M%SZ)-$$}
[[ ! -e $logdir || -z $(ls -A "$logdir") ]] || die "log directory $logdir is not empty"
mkdir -p "$logdir" || die "log directory $logdir cannot be made"
# Every board is written from this copy of the image, the one whose sha256 was taken.
export source=$logdir/image.hex version
if ! cp "$image" "$source" || [[ $(sha256sum <"$source" | cut -d' ' -f1) != "$sha" ]]; then
    die "image $image changed while it was checked; run again"
fi
if [[ -n ${VANTREL_VERSION:-} ]]; then
    version=$VANTREL_VERSION
else # the package's version, else that of the emulator installed with vantrel
    bin=$(readlink -f "$(command -v "$vantrel")")
    if package=$(dpkg-query -S "$bin" 2>/dev/null); then
        version=$(dpkg-query -W -f='${Version}' "${package%%:*}")
    else
        version=$("$(dirname "$bin")/vantrel-emu" --version 2>/dev/null | cut -d' ' -f2)
    fi
fi
version=${version:-unknown}

# All boards at once, in a process group of their own (set -m), so that an interruption
# reaches every run: each vantrel puts its port back and ends, each board records itself.
printf '%s\0' "${boards[@]}" >"$logdir/boards"
signal=""
trap 'signal=${signal:-130}' INT
trap 'signal=${signal:-143}' TERM HUP
t0=${EPOCHREALTIME//[!0-9]/}
set -m
xargs -0 -n 3 -P "$count" -a "$logdir/boards" "$BASH" "$0" --board </dev/null &
job=$!
set +m
while [[ -z $signal ]] && kill -0 "$job" 2>/dev/null; do
    wait "$job"
done
if [[ -n $signal ]]; then
    echo "$me: interrupted; stopping every board" >&2
    kill -TERM -- -"$job" 2>/dev/null
    flock -w 30 "$logdir/boards" true # until every board has put its port back
fi
us=$((${EPOCHREALTIME//[!0-9]/} - t0))
rm -f "$logdir/boards"

# The summary: one line per board, then the total.
declare -A tally=([ok]=0 [failed]=0 [interrupted]=0)
for ((i = 0; i < ${#boards[@]}; i += 3)); do
    name=${boards[i]} port=${boards[i + 1]} by_id=${boards[i + 2]}
    read -r result seconds serial 2>/dev/null <"$logdir/$name.result" ||
        result=interrupted seconds=- serial=-
    ((tally[$result] += 1))
    what=""
    [[ $serial == - ]] || what="  serial $serial"
    if [[ $result == ok ]]; then
        what+=${by_id:+  $by_id}
    else
        [[ -z $what ]] || what+=" spoiled"
        what+="  log $logdir/$name.log"
    fi
    printf '%-16s %-11s %6s s%s\n' "$port" "$result" "$seconds" "$what"
done
printf '%d boards: %d ok, %d failed, %d interrupted; %d.%02d s in all; record %s\n' "$count" \
    "${tally[ok]}" "${tally[failed]}" "${tally[interrupted]}" $((us / 1000000)) \
    $((us % 1000000 / 10000)) "$csv"
[[ -z $signal ]] || exit "$signal"
((tally[ok] == count)) || exit 1
exit 0
