#!/usr/bin/env bash
# examples/cmake end to end, against qtk as its install rule installs it:
#   installs build/native into a temporary prefix (qtk and lib/cmake/QTK),
#   configures examples/cmake with MinGW-w64 for ARCH (i686 or x86_64)
#   against that prefix, builds its installer (qtk_add_installer) and
#   makes it again with cpack, checks that the two are the same bytes,
#   runs one under Wine (QTK_WINEARCH for ARCH; needs $DISPLAY) and checks
#   that its program ran, and checks `qtk test --json` with Python's json.
#
# usage: tests/cmake/example_check.sh ARCH [STUB]
#   STUB: the qtksfx.exe to put in front (the x86_64 build's on hosts that
#   cannot run 32-bit programs); default the 32-bit one that qtk carries.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
arch=$1
stub=${2:-}
fail=0
ok() { echo "ok   $1"; }
bad() { echo "FAIL $1"; fail=1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/qtk-cmake-example.XXXXXX")
trap '[ "$fail" = 0 ] && rm -rf "$work"' EXIT
log="$work/log"

prefix="$work/prefix"
if cmake --install "$root/build/native" --prefix "$prefix" >"$log" 2>&1 && [ -f "$prefix/lib/cmake/QTK/QTKConfig.cmake" ]; then
  ok "cmake --install: qtk and lib/cmake/QTK in $prefix"
else
  bad "cmake --install into $prefix"; cat "$log"; exit 1
fi

build="$work/build"
if cmake -S "$root/examples/cmake" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
     -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" -DCMAKE_PREFIX_PATH="$prefix" \
     ${stub:+-DQTK_EXAMPLE_STUB="$stub"} >"$log" 2>&1; then
  ok "configure examples/cmake ($arch) with find_package(QTK) from the prefix"
else
  bad "configure examples/cmake"; cat "$log"; exit 1
fi
grep -q "QTK_DIR:PATH=$prefix/lib/cmake/QTK" "$build/CMakeCache.txt" && ok "QTK_DIR is the installed package" ||
  bad "QTK_DIR is not $prefix/lib/cmake/QTK: $(grep QTK_DIR "$build/CMakeCache.txt")"

setup="$build/hello-1.2.3-setup.exe"
if cmake --build "$build" >"$log" 2>&1 && [ -f "$setup" ]; then
  ok "build: qtk_add_installer made $(basename "$setup")"
else
  bad "build"; cat "$log"; exit 1
fi
before=$(stat -c %Y.%s "$setup")
cmake --build "$build" >"$log" 2>&1
[ "$(stat -c %Y.%s "$setup")" = "$before" ] && ok "a build with nothing changed leaves the installer alone" ||
  bad "a build with nothing changed wrote the installer again"

if (cd "$build" && cpack -B "$build/cpack") >"$log" 2>&1 && [ -f "$build/cpack/hello-1.2.3-setup.exe" ]; then
  ok "cpack (External, include(QTKCPack)) made hello-1.2.3-setup.exe"
else
  bad "cpack"; cat "$log"; exit 1
fi
cmp "$setup" "$build/cpack/hello-1.2.3-setup.exe" && ok "qtk_add_installer and cpack: the same bytes" ||
  bad "qtk_add_installer and cpack made different installers"

qtk="$prefix/bin/qtk"
"$qtk" test --json "$setup" >"$work/test.json" 2>"$log"; code=$?
[ "$code" = 0 ] && ok "qtk test --json: exit code 0" || { bad "qtk test --json: exit code $code"; cat "$log"; }
if python3 - "$work/test.json" <<'PY'
import json, sys
d = json.load(open(sys.argv[1], encoding="utf-8"))
assert d["format"] == "qtk-archive" and d["format_version"] == 1, d
assert d["command"] == "test" and d["ok"] is True and d["complete"] is True, d
assert d["faults"] == [], d["faults"]
assert d["stub"]["elevation"] == "user" and d["stub"]["execution_level"] == "asInvoker", d["stub"]
assert len(d["volumes"]) == 1, d["volumes"]
paths = sorted(m["path"] for m in d["members"])
assert paths == ["hello.exe", "hello.txt", "qtksfx.ini"], paths
for m in d["members"]:
    assert m["ok"] and m["size"] > 0 and m["packets"] >= 1 and m["stored"] > 0, m
    assert m["time"].endswith("Z") and isinstance(m["mtime"], int), m
    assert "path_bytes" not in m, m
PY
then ok "the JSON document checks out (python3 json)"; else bad "the JSON document"; cat "$work/test.json"; fi

# The installer under Wine: it unpacks, starts hello.exe and returns its
# exit code; hello.exe leaves what it read from hello.txt in $out.
wine_arch=win64
[ "$arch" = i686 ] && wine_arch=win32
out="$work/out"
mkdir -p "$out"
code=0
QTK_WINEARCH=$wine_arch QTK_EXAMPLE_OUT="Z:${out//\//\\}" timeout 300 "$root/scripts/wine-run.sh" "$setup" \
  >"$log" 2>&1 || code=$?
if [ "$code" = 0 ] && grep -q "Hello from an installer made by QTK" "$out/hello-ran.txt" 2>/dev/null; then
  ok "under Wine ($wine_arch): the installer unpacked and ran hello.exe, exit code 0"
else
  bad "under Wine ($wine_arch): exit code $code, $(cat "$out/hello-ran.txt" 2>&1)"; cat "$log"
fi
QTK_WINEARCH=$wine_arch "$root/scripts/wine-run.sh" --stop

[ "$fail" = 0 ] && echo "example: all checks passed" || echo "example: FAILED (kept $work)"
exit "$fail"
