#!/usr/bin/env bash
# Quillrom2 on a real X server (Xvfb), driven as a person at a bench would:
#   stop    BIN          Esc two seconds into a demo Program, then File > Quit
#   install BUILD PREFIX the installed tree alone runs the demo and the CLI demo
# Exits 77 (skipped) when Xvfb or xdotool is missing.
set -euo pipefail
mode=$1
command -v xvfb-run >/dev/null && command -v xdotool >/dev/null || { echo "xvfb-run or xdotool missing"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_RUNTIME_DIR=$work/runtime XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data HOME=$work
mkdir -m 700 -p "$XDG_RUNTIME_DIR"
# On a real X server the session's D-Bus library keeps an allocation to the
# end; the offscreen GUI suites check our own leaks.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

# Waits up to $2 seconds for the text $1 in the log.
wait_for() {
  for _ in $(seq 1 $(($2 * 10))); do grep -qF -- "$1" "$work/L.log" 2>/dev/null && return 0; sleep 0.1; done
  echo "not in the log after $2 s: $1"; cat "$work/L.log" 2>/dev/null || true; return 1
}

case $mode in
stop)
  cat > "$work/session.sh" <<SESSION
set -euo pipefail
"$2" --demo --demo-autorun program --log "$work/L.log" &
pid=\$!
$(declare -f wait_for)
work="$work"
wait_for ">>COMMAND: Program" 60
sleep 2
win=\$(xdotool search --sync --onlyvisible --name "^Quillrom2\$" | head -1)
xdotool windowactivate --sync "\$win" 2>/dev/null || xdotool windowfocus --sync "\$win"
xdotool key Escape
wait_for "Sequence Aborted." 30
# Quit from the menu, as a user closes it.
xdotool key alt+f
sleep 0.5
xdotool key q
status=0
wait \$pid || status=\$?
echo "quillrom2 exited with \$status"
exit \$status
SESSION
  xvfb-run -a -s "-screen 0 1280x800x24" bash "$work/session.sh"
  grep -q "Flash Programming finish!" "$work/L.log" && { echo "the program ran to its end: the stop came too late"; exit 1; }
  ;;
install)
  cmake --install "$2" --prefix "$work/P" >/dev/null
  xvfb-run -a -s "-screen 0 1280x800x24" "$work/P/bin/quillrom2" --demo --demo-autorun program \
    --screenshot "$work/s.png" --log "$work/L.log"
  wait_for "CHECKSUM COMPARE: OK" 1
  test -s "$work/s.png"
  "$work/P/bin/quillrom" demo > "$work/demo.out"
  ;;
*)
  echo "unknown mode $mode"; exit 2 ;;
esac
echo "ok: $mode"
