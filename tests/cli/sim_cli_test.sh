#!/usr/bin/env bash
# Whole runs of zentrel-update-sim: its command line, event lines, exit status and flash dump.
# Usage: sim_cli_test.sh SIM MAKE_FIRMWARE CASE
set -u
sim=$1
make_firmware=$2
case_name=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; echo "--- stdout"; cat "$work/out" 2>/dev/null; echo "--- stderr"; cat "$work/err" 2>/dev/null; exit 1; }
expect_line() { grep -qxF -- "$1" "$work/$2" || fail "missing line in $2: $1"; }

case "$case_name" in
  startup)
    "$sim" --auto --controller frame >"$work/out" 2>"$work/err"
    expect_line "title: Zentrel Update v2.31" out
    expect_line "button: enabled" out
    grep -q '^m_DevicePath:/dev/sim-hidraw1$' "$work/err" || fail "no search line"
    ;;
  plug-unplug)
    "$sim" --auto --controller none --plug-at 200 --unplug-at 400 >"$work/out" 2>"$work/err"
    status=$?
    [ "$status" -eq 1 ] || fail "exit $status, expected 1"
    head -n 3 "$work/out" | grep -qxF "button: disabled" || fail "button not disabled at start"
    expect_line "button: enabled" out
    expect_line "box: Firmware update failure\\n" out
    grep -qxF "Zentrel Update v2.31" "$work/err" || grep -q "Zentrel Update v2.31$" "$work/err" || fail "no removal line"
    ;;
  flash-frame-*|flash-stream*)
    kind=${case_name#flash-}
    controller=${kind%%-*}
    type=${kind#*-}
    [ "$kind" = "stream" ] && type=none
    [ "$kind" = "stream-b" ] && { controller=stream-b; type=none; }
    maker_kind=frame
    [ "${controller#stream}" != "$controller" ] && maker_kind=stream
    "$make_firmware" "$maker_kind" "$type" 5000 "$work/fw.dat" "$work/image.bin" || fail "make-firmware"
    args=(--auto --controller "$controller" --firmware "$work/fw.dat" --flash-dump "$work/dump.bin" --trace "$work/trace")
    [ "$maker_kind" = frame ] && args+=(--device-type "$type")
    "$sim" "${args[@]}" >"$work/out" 2>"$work/err"
    status=$?
    [ "$status" -eq 0 ] || fail "exit $status"
    cmp "$work/image.bin" "$work/dump.bin" || fail "flash differs from the image"
    grep -qvE '^[0-9]+(\.[0-9]+)? (OUT|IN) [0-9a-f]{130}$' "$work/trace" && fail "bad trace line"
    [ -s "$work/trace" ] || fail "empty trace"
    ;;
  version-on-plug)
    "$sim" --auto --controller stream --plug-at 100 --version 0x20089 >"$work/out" 2>"$work/err"
    expect_line "title: Zentrel Update v2.31(VozeVer V1.37 beta2)" out
    ;;
  cancel)
    "$sim" --auto --controller frame --cancel >"$work/out" 2>"$work/err"
    status=$?
    [ "$status" -eq 1 ] || fail "exit $status, expected 1"
    expect_line "answer: Cancel" out
    grep -qxF "MessageBox == IDCANCEL" "$work/err" || fail "no cancel line"
    "$sim" --auto --controller stream --cancel-file >"$work/out" 2>"$work/err"
    [ $? -eq 1 ] || fail "cancel-file: expected exit 1"
    expect_line "answer: cancel" out
    ;;
  bad-usage)
    "$sim" --controller bogus >"$work/out" 2>"$work/err"
    [ $? -eq 2 ] || fail "expected exit 2"
    "$sim" --help >"$work/out" 2>"$work/err" || fail "--help"
    grep -q -- "--flash-dump" "$work/out" || fail "help text"
    ;;
  link)
    # A message-stream update (no fixed pauses) at the full-speed link's pace in real time:
    # every report crosses at a whole millisecond, at most one per millisecond each way, and the
    # controller answers in a later millisecond than the report it answers.
    "$make_firmware" stream none 3000 "$work/fw.dat" "$work/image.bin" || fail "make-firmware"
    "$sim" --auto --controller stream --link full-speed --write-time 0 --firmware "$work/fw.dat" \
      --flash-dump "$work/dump.bin" --trace "$work/trace" >"$work/out" 2>"$work/err"
    status=$?
    [ "$status" -eq 0 ] || fail "exit $status"
    cmp "$work/image.bin" "$work/dump.bin" || fail "flash differs from the image"
    awk '
      { if ($1 !~ /^[0-9]+\.000$/) { print "not a whole millisecond: " $0; bad = 1 } }
      $2 == "OUT" { if (n_out && $1 + 0 < last_out + 1) { print "two OUT in one ms: " $0; bad = 1 }
                    last_out = $1 + 0; n_out++ }
      $2 == "IN"  { if (n_in && $1 + 0 < last_in + 1) { print "two IN in one ms: " $0; bad = 1 }
                    if ($1 + 0 <= last_out) { print "answer before its request: " $0; bad = 1 }
                    last_in = $1 + 0; n_in++ }
      END { if (n_out < 90 || n_in < 90) { print "too few reports"; bad = 1 } exit bad }
    ' "$work/trace" >"$work/check" || { cat "$work/check"; fail "trace breaks the link model"; }
    "$sim" --link fast >"$work/out" 2>"$work/err"
    [ $? -eq 2 ] || fail "--link fast: expected exit 2"
    grep -q -- "--link: expects none or full-speed" "$work/err" || fail "no --link message"
    "$sim" --help >"$work/out" 2>"$work/err" || fail "--help"
    for option in --link --prepare-time --write-time; do
      grep -q -- "$option" "$work/out" || fail "help text lacks $option"
    done
    ;;
  timeout)
    "$sim" --auto --controller frame --device-type 0x6006 --timeout 300 >"$work/out" 2>"$work/err"
    [ $? -eq 3 ] || fail "expected exit 3"
    ;;
  *) fail "unknown case $case_name" ;;
esac
echo "ok: $case_name"
