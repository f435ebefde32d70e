#!/usr/bin/env bash
# The release package as an administrator gets it: scripts/package.sh writes the zip from the
# standard build trees; it is unpacked into an empty folder and checked there:
# - exactly the expected files, SHA256SUMS matching them all, the header as in the sources;
# - each DLL and probe: machine type, PE time stamp 0 and no debug directory, export and import
#   tables (neither DLL imports a WinFrame API library) and version resources;
# - each probe, run from the package with the substitute WinFrame API (under the name its
#   architecture loads) beside the DLL: --version, then --json --v2, which starts polling (-6)
#   and prints a record carrying the DLL's version. The 32-bit half runs where 32-bit code runs,
#   elsewhere it is checked statically;
# - a second package, built from the same sources in fresh build trees elsewhere, is the same
#   zip byte for byte (skipped with --no-rebuild).
#   tests/package/package_test.sh [--no-rebuild]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
rebuild=1
[ "${1:-}" = "--no-rebuild" ] && rebuild=0
status=0
fail() { echo "FAIL: $*"; status=1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

zip=$("$root/scripts/package.sh" --out "$work/dist" | tee "$work/package.log" | tail -n 1)
[ -f "$zip" ] || { cat "$work/package.log"; echo "FAIL: scripts/package.sh wrote no zip"; exit 1; }
version=$(basename "$zip" .zip); version=${version#plx_srv_citrix-}
echo "== checking $(basename "$zip")"
pkg="$work/unpacked"
mkdir "$pkg"
python3 -m zipfile -e "$zip" "$pkg" || fail "cannot unpack the zip"

expected="DEPLOYMENT.txt SHA256SUMS include/plx_srv_citrix.h reg/log-off.reg reg/log-on-debug.reg reg/log-on-error.reg x64/plx_srv_citrix64.dll x64/plxprobe.exe x86/plx_srv_citrix32.dll x86/plxprobe.exe"
got=$(cd "$pkg" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
[ "$got" = "$expected " ] || fail "the zip holds [$got], expected [$expected ]"
(cd "$pkg" && sha256sum --check --strict --quiet SHA256SUMS) || fail "SHA256SUMS does not match the files"
listed=$(awk '{print $2}' "$pkg/SHA256SUMS" | tr '\n' ' ')
[ "$listed" = "$(sed 's/SHA256SUMS //' <<<"$got")" ] || fail "SHA256SUMS lists [$listed], not every other file"
cmp -s "$pkg/include/plx_srv_citrix.h" "$root/include/plx_srv_citrix.h" || fail "the packaged header differs from include/"
grep -q '^"severity"=dword:00000000' "$pkg/reg/log-off.reg" || fail "log-off.reg does not set severity 0"

# <folder> <arch> <objdump's file format> <DLL> <substitute WinFrame API>
check_half() {
  local folder=$1 arch=$2 format=$3 dll=$4 wfapi=$5 file dump
  local objdump=$arch-w64-mingw32-objdump build="$root/build/$arch"
  for file in "$dll" plxprobe.exe; do
    dump=$("$objdump" -p "$pkg/$folder/$file")
    grep -q "file format $format" <<<"$dump" || fail "$folder/$file is not $format"
    grep -qE '^Time/Date[[:space:]]+Thu Jan  1 00:00:00 1970' <<<"$dump" || fail "$folder/$file has a link time stamp"
    grep -qE 'Entry 6 0+ 00000000 Debug Directory' <<<"$dump" || fail "$folder/$file has a debug directory"
  done
  bash "$root/tests/exports/check_binaries.sh" "$objdump" "$version" "$pkg/$folder/$dll" "$pkg/$folder/plxprobe.exe" ||
    fail "$folder: export, import or version check"

  if [ "$arch" = i686 ] && ! { "$root/scripts/can-run-32bit.sh" && [ -x /usr/lib/wine/wine ]; }; then
    echo "== $folder: checked statically (this machine does not run 32-bit code)"
    return
  fi
  echo "== $folder: plxprobe from the package, $wfapi beside $dll"
  PLX_BUILD_DIR="$build" "$root/scripts/build.sh" "$arch" --target wfapi_sim >/dev/null || { fail "no substitute"; return; }
  cp "$build/bin/$wfapi" "$pkg/$folder/" || { fail "no substitute $build/bin/$wfapi"; return; }
  "$build/wine-run.sh" --boot >/dev/null || { fail "no Wine prefix in $build"; return; }
  local bits=64; [ "$arch" = i686 ] && bits=32
  local out
  out=$("$build/wine-run.sh" "$pkg/$folder/plxprobe.exe" --version | tr -d '\r')
  echo "$out"
  grep -qx "plxprobe $version ($bits-bit)" <<<"$out" && grep -q "^$dll $version (" <<<"$out" ||
    fail "$folder: plxprobe --version printed [$out]"
  "$build/wine-run.sh" "$pkg/$folder/plxprobe.exe" --json --v2 --timeout 30 >"$work/$folder.json" 2>"$work/$folder.err"
  local rc=$?
  tr -d '\r' <"$work/$folder.err"
  [ $rc -eq 0 ] || fail "$folder: plxprobe --json --v2 exited with $rc"
  grep -q 'polling started (-6)' "$work/$folder.err" || fail "$folder: the first call did not return -6"
  python3 - "$work/$folder.json" "$version" <<'PY' || fail "$folder: the JSON record"
import json, sys
record = json.load(open(sys.argv[1], encoding="utf-8"))
checks = {"record": 1, "version": 2, "dllVersion": sys.argv[2]}
bad = {k: record.get(k) for k, v in checks.items() if record.get(k) != v}
if bad or not record.get("userName") or record.get("latency", -1) < 0 or "ext" not in record:
    sys.exit("unexpected record fields %s in %s" % (bad, record))
print("record %d (version 2) from %s %s: userName %r, latency %d ms" % (
    record["record"], "the package's DLL", record["dllVersion"], record["userName"], record["latency"]))
PY
  "$build/wine-run.sh" --kill
}
check_half x86 i686 pei-i386 plx_srv_citrix32.dll WFAPI.DLL
check_half x64 x86_64 pei-x86-64 plx_srv_citrix64.dll WFAPI64.DLL

if [ $rebuild = 1 ]; then
  echo "== the same package again, built in fresh trees in $work/build"
  again=$(PLX_PACKAGE_BUILD_ROOT="$work/build" "$root/scripts/package.sh" --out "$work/again" 2>&1 | tail -n 1)
  if ! cmp -s "$zip" "$again"; then
    fail "two packages from the same sources differ"
    python3 - "$zip" "$again" <<'PY'
import sys, zipfile
a, b = (zipfile.ZipFile(p) for p in sys.argv[1:3])
for name in sorted(set(a.namelist()) | set(b.namelist())):
    if name not in a.namelist() or name not in b.namelist() or a.read(name) != b.read(name):
        print("  differs:", name)
PY
  else
    echo "== identical: $(sha256sum "$zip" | cut -d' ' -f1)"
  fi
fi
[ $status -eq 0 ] && echo "== package test passed" || echo "== package test FAILED"
exit $status
