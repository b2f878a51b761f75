#!/usr/bin/env bash
# quillrom.exe under Wine against the Linux virtual target: the target's pty
# becomes a COM port of the Wine prefix (a dosdevices link opens like a real
# COM port), and each case checks the exit code and what the user is told.
# Usage: wine_e2e.sh CASE   (environment: QUILLROM_EXE, QUILLROM_HOST_SIM,
# QUILLROM_SAMPLES, WINEPREFIX)
set -u
what=$1
exe=$QUILLROM_EXE
samples=$QUILLROM_SAMPLES
work=$(mktemp -d)
links=()
sims=()

cleanup() {
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null; done
  for l in "${links[@]}"; do rm -f "$l"; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL ($what): $*"
  [ -f "$work/out" ] && sed 's/^/  | /' "$work/out"
  exit 1
}

winpath() { local p=${1//\//\\}; echo "Z:$p"; }
prm=$(winpath "$samples/demo.prm")
hex=$(winpath "$samples/demo.hex")

# A virtual target on a new pty, reachable as COM<n>; extra arguments go to the target.
target() {
  local n=$1
  shift
  local fifo="$work/sim$n"
  mkfifo "$fifo"
  "$QUILLROM_HOST_SIM" --prm "$samples/demo.prm" "$@" >"$fifo" 2>"$work/sim$n.err" &
  sims+=($!)
  local fd
  exec {fd}<"$fifo"
  local pty=""
  read -r -t 20 -u "$fd" pty || fail "the virtual target on COM$n did not start: $(cat "$work/sim$n.err")"
  # Its further lines go to a file, so it never blocks on a full pipe.
  cat <&"$fd" >"$work/sim$n.log" &
  local link="$WINEPREFIX/dosdevices/com$n"
  ln -sfn "$pty" "$link"
  links+=("$link")
}

# quillrom.exe with a bound: a hang is a failure, not a stuck CI run.
run() {
  timeout 340 wine "$exe" "$@" >"$work/out" 2>&1
  rc=$?
  # quillrom prints before it ends; an exit with nothing printed is Wine
  # failing to start it (seen once in CI). Once more, with Wine's errors shown.
  if [ $rc -ne 0 ] && [ ! -s "$work/out" ]; then
    echo "wine: exit $rc before quillrom printed anything; starting it once more"
    WINEDEBUG=err+all timeout 340 wine "$exe" "$@" >"$work/out" 2>&1
    rc=$?
    [ -s "$work/out" ] || fail "Wine did not start quillrom (exit $rc), twice"
  fi
  [ $rc -ne 124 ] || fail "quillrom $* did not end within 340 s"
}

expect() {  # expect RC TEXT...
  local want=$1
  shift
  [ "$rc" -eq "$want" ] || fail "exit $rc, expected $want"
  for text in "$@"; do grep -qF -- "$text" "$work/out" || fail "no '$text' in the output: $(tail -5 "$work/out")"; done
}

case "$what" in
  auto)
    target 11
    run auto "$hex" --prm "$prm" --port COM11 --blank-check-first --verify --checksum --no-record
    expect 0 "CHECKSUM COMPARE: OK" "done: COM11"
    ;;
  verify-checksum)
    target 12
    run program "$hex" --prm "$prm" --port COM12 --no-record
    expect 0 "Flash Programming finish!"
    run verify "$hex" --prm "$prm" --port COM12 --no-record
    expect 0 "Flash Verifying finish!"
    run checksum "$hex" --prm "$prm" --port COM12 --no-record
    expect 0 "CHECKSUM COMPARE: OK"
    ;;
  gang)
    target 13
    target 14
    run auto "$hex" --prm "$prm" --port COM13 --port COM14 --verify --checksum --no-record
    expect 0 "COM13: CHECKSUM COMPARE: OK" "COM14: CHECKSUM COMPARE: OK"
    ;;
  vanish)
    target 16 --fault vanish:after=7
    run program "$hex" --prm "$prm" --port COM16 --no-record
    expect 1 "COM16"
    ;;
  missing-port)
    rm -f "$WINEPREFIX/dosdevices/com99"
    run checksum "$hex" --prm "$prm" --port COM99 --no-record
    expect 3 "COM99"
    ;;
  interrupt)
    # Paced slowly, so Ctrl+C (SIGINT to Wine, a console control event to
    # the program) comes while it programs.
    target 15 --baud 9600
    timeout 180 wine "$exe" program "$hex" --prm "$prm" --port COM15 --no-record >"$work/out" 2>&1 &
    prog=$!
    timeout 60 grep -m1 -q "Flash Programming" <(tail -f "$work/out") || fail "programming never started"
    kill -INT "$prog"
    wait "$prog"
    rc=$?
    expect 130
    # The port is free again: the next command opens it and talks to the target.
    run checksum "$hex" --prm "$prm" --port COM15 --no-record
    [ "$rc" -eq 0 ] || [ "$rc" -eq 1 ] || fail "the port after Ctrl+C: exit $rc"
    ;;
  fields)
    # Per-unit fields on Windows: a counter and a hook's answer (a process
    # of its own, its output read through a pipe), then the same as a
    # signed job a station runs from a pipe.
    target 17
    run program "$hex" --prm "$prm" --port COM17 --db "sqlite:$work/h.db" \
      --field unit@0x7F00:2=counter:40 --field "key@0x7F10:2:hex=exec:cmd /c echo 0A0B"
    expect 0 ">>Field unit: 40" ">>Field key: 0A0B" "Flash Programming finish!"
    run history --db "sqlite:$work/h.db" --field unit=40
    expect 0 "COM17"
    run job keygen "$work/eng"
    expect 0 "key id"
    run job create "$work/line.qjob" auto "$hex" --prm "$prm" --field unit@0x7F00:2=counter:40 --sign "$work/eng.key"
    expect 0 "signed with"
    printf '\nq\n' | timeout 340 wine "$exe" station --job "$work/line.qjob" --key "$work/eng.pub" --port COM17 \
      --db "sqlite:$work/h.db" >"$work/out" 2>&1
    rc=$?
    expect 0 "COM17: PASS, unit 41" "Station summary: 1 round, 1 unit: 1 passed"
    ;;
  *)
    fail "no such case"
    ;;
esac
echo "ok ($what)"
