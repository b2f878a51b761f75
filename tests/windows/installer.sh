#!/usr/bin/env bash
# The NSIS installer under Wine: a silent install puts the programs in the
# 64-bit program folder and bin\ on PATH; the installed quillrom.exe runs
# from PATH and its demo programs the virtual target with the installed
# samples; a silent uninstall takes both away again.
# Usage: installer.sh BUILD_DIR   (environment: WINEPREFIX)
set -u
build=$1
fail() { echo "FAIL: $*"; exit 1; }
(cd "$build" && cpack -G NSIS >cpack.log 2>&1) || fail "cpack: $(tail -5 "$build/cpack.log")"
installer=$(ls "$build"/Quillrom-*-win64.exe | head -1)
[ -f "$installer" ] || fail "no installer in $build"
# A folder without blanks: the uninstaller waits for its end only when _?=
# comes unquoted, and Wine quotes an argument that holds a blank.
dir='C:\QuillromTest'
root="$WINEPREFIX/drive_c/QuillromTest"
key='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'

timeout 120 wine "$installer" /S "/D=$dir" || fail "the silent install failed"
for f in bin/quillrom.exe bin/quillctl.dll lib/libquillctl.dll.a include/quillctl.h samples/demo.prm samples/demo.hex README.txt; do
  [ -f "$root/$f" ] || fail "not installed: $f"
done
wine reg query "$key" /v PATH 2>/dev/null | grep -qF "$dir\\bin" || fail "bin is not on PATH"
out=$(timeout 60 wine cmd /c "quillrom --version" 2>&1) || fail "quillrom from PATH: $out"
echo "$out" | grep -q "^quillrom [0-9]" || fail "quillrom --version printed: $out"
out=$(timeout 300 wine "$root/bin/quillrom.exe" demo 2>&1 </dev/null) || fail "quillrom demo failed: $(echo "$out" | tail -5)"
echo "$out" | grep -q "^CHECKSUM COMPARE: OK" || fail "quillrom demo ended without CHECKSUM COMPARE: OK: $(echo "$out" | tail -5)"
echo "$out" | grep -qF "$dir\samples" || fail "quillrom demo did not take the installed samples: $(echo "$out" | head -1)"

timeout 120 wine "$root/Uninstall.exe" /S "_?=$dir" || fail "the silent uninstall failed"
wine reg query "$key" /v PATH 2>/dev/null | grep -qF 'Quillrom' && fail "PATH still names Quillrom"
[ ! -f "$root/bin/quillrom.exe" ] || fail "quillrom.exe is still installed"
echo "ok: installed, ran from PATH, demo passed, uninstalled"
