#!/usr/bin/env bash
# The package as users get it: `cmake --install` into a fresh prefix, and the
# Debian package's tree (dpkg-deb -x), each imported by the system's Python
# with only PYTHONPATH pointing at it.
set -euo pipefail
build=$1
python=${2:-/usr/bin/python3}
samples=$(cd "$(dirname "$0")/../../samples" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check() {  # check SITE: imports quillrom from SITE and lists a port-free call
  local site=$1
  [ -f "$site/quillrom/__init__.py" ] || { echo "FAIL: no quillrom in $site"; exit 1; }
  (cd "$work" && env -u QUILLROM_SIM PYTHONPATH="$site" "$python" -c \
    "import quillrom, sys; assert quillrom.__file__.startswith(sys.argv[1]), quillrom.__file__; print(quillrom.__version__); quillrom.load(sys.argv[2])" \
    "$site" "$3")
}

cmake --install "$build" --prefix "$work/prefix" >/dev/null
site=$(find "$work/prefix" -type d -name dist-packages | head -1)
check "$site" "$build" "$samples/demo.hex"
echo "cmake --install: OK"

(cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/deb/quillrom*.deb | head -1)
dpkg-deb -c "$deb" >"$work/contents"
grep -q "usr/lib/python3/dist-packages/quillrom/_quillrom" "$work/contents" || { echo "FAIL: the .deb has no module"; exit 1; }
dpkg-deb -x "$deb" "$work/root"
check "$work/root/usr/lib/python3/dist-packages" "$build" "$samples/demo.hex"
echo "the .deb: OK"
