#!/usr/bin/env bash
# The release as an administrator and a support engineer get it. scripts/package.sh builds the
# committed HEAD in fresh trees (the one build here), then:
# - the binaries scripts/test.sh built in build/ give the same two zips, byte for byte (with
#   uncommitted changes in this tree: a second release build does); a dirty clone is refused;
# - file lists, SHA256SUMS, BUILDINFO.txt (names HEAD), the .reg files; each binary's machine
#   type, time stamp, debug directory, debug link (CRC), exports, imports, version resource;
# - scripts/symbolize.sh turns each DLL export's offset, from the packaged export table, into
#   the function and the source line that defines it;
# - signed with a throwaway CA made here, every binary of the unpacked zip verifies;
# - each signed probe runs from the package with the substitute WinFrame API beside its DLL
#   (the 32-bit one only where 32-bit code runs; elsewhere its half is checked statically).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
status=0
fail() { echo "FAIL: $*"; status=1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'echo "== package test FAILED"; exit 1' TERM
started=$SECONDS

# <log> <what ran>: prints the zip a package.sh run names on its last line. Without a zip
# nothing else can be checked: the log is shown and the test ends.
zip_of() {
  [ -f "$(tail -n 1 "$1" 2>/dev/null)" ] && tail -n 1 "$1" && return
  cat "$1" >&2
  echo "FAIL: $2 left no zip" >&2
  kill -TERM $$
}
# <out dir> [options]: runs package.sh into <out dir> (its output in <out dir>.log), prints the zip's path.
package() {
  local out=$1; shift
  "$root/scripts/package.sh" --out "$out" "$@" >"$out.log" 2>&1 || echo "package.sh exited with $?" >>"$out.log"
  zip_of "$out.log" "package.sh $*"
}
unpack() { mkdir -p "$2" && python3 -m zipfile -e "$1" "$2" || fail "cannot unpack $1"; }

head=$(git -C "$root" rev-parse HEAD)
allow=()
[ -n "$(git -C "$root" status --porcelain --untracked-files=normal)" ] && allow=(--allow-uncommitted) &&
  echo "== this tree has uncommitted changes: packaging commit $head without them"

# --build-release DIR: only the release build, into DIR/release (its output in DIR/release.log).
# scripts/test.sh runs it at low priority while the tests run, then this test with
# PLX_PACKAGE_RELEASE=DIR, which checks that release instead of building one.
if [ "${1:-}" = --build-release ]; then
  package "${2:?"--build-release needs a folder"}/release" "${allow[@]}" >/dev/null
  exit 0
fi

echo "== refusing uncommitted changes (in a clone)"
git clone -q "$root" "$work/clone" && echo "local change" >>"$work/clone/README.md"
refused=$("$work/clone/scripts/package.sh" --out "$work/refused" 2>&1)
[ $? -eq 1 ] && grep -q 'uncommitted changes' <<<"$refused" && grep -q 'README.md' <<<"$refused" &&
  [ ! -e "$work/refused" ] || fail "a dirty tree was not refused: [$refused]"

echo "== the release: scripts/package.sh ${allow[*]}"
if [ -n "${PLX_PACKAGE_RELEASE:-}" ]; then
  cp "$PLX_PACKAGE_RELEASE/release.log" "$work/release.log" 2>/dev/null
  zip=$(zip_of "$work/release.log" "the release built beforehand")
  echo "== built beforehand, while the tests ran"
else
  zip=$(package "$work/release" "${allow[@]}")
fi
grep -q '^== not signed' "$work/release.log" || fail "an unsigned release does not say so"
version=$(basename "$zip" .zip); version=${version#plx_srv_citrix-}
symbols=$(dirname "$zip")/plx_srv_citrix-$version-symbols.zip
echo "== $(basename "$zip"), $(basename "$symbols") after $((SECONDS - started)) s"

# Reproducibility: test.sh's trees (release configuration, same sources) or a second release.
# Trees compiled through a compiler cache (ccache rewrites source paths relative to its base
# folder) differ in their debug information only: there the code is compared without it.
cache() { sed -n "s/^$1:[A-Z]*=//p" "$root/build/x86_64/CMakeCache.txt" 2>/dev/null; }
launcher=$(cache CMAKE_CXX_COMPILER_LAUNCHER)
type=$(cache CMAKE_BUILD_TYPE)
if [ ${#allow[@]} -eq 0 ] && [ "${type:-RelWithDebInfo}" = RelWithDebInfo ]; then
  echo "== the same package from the binaries test.sh built in $root/build${launcher:+ (through $launcher)}"
  again=$(PLX_PACKAGE_FROM_TREES="$root/build" package "$work/again")
else
  echo "== the same package again from fresh trees (build/ holds uncommitted changes or another configuration)"
  again=$(package "$work/again" "${allow[@]}"); launcher=""
fi
# Exits with the names of the entries that differ between two zips. With a compiler launcher
# (ccache) the debug files may differ, and so may the shipped binaries in their debug link's
# CRC and in the PE checksum that covers it: those bytes are blanked before comparing.
zip_diff() {
  python3 - "$1" "$2" "$launcher" <<'PY'
import struct, sys, zipfile
a, b = (zipfile.ZipFile(p) for p in sys.argv[1:3])
lenient = bool(sys.argv[3])
def code(name, data):
    data = bytearray(data)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    data[pe + 88:pe + 92] = bytes(4)
    link = (name.split("/")[-1] + ".debug\0").encode()
    at = data.find(link) + (len(link) + 3) // 4 * 4
    data[at:at + 4] = bytes(4)
    return bytes(data)
bad = []
for name in sorted(set(a.namelist()) | set(b.namelist())):
    x = a.read(name) if name in a.namelist() else None
    y = b.read(name) if name in b.namelist() else None
    if x == y or x and y and lenient and (name.endswith(".debug") or name == "SHA256SUMS" or
                                          name.endswith((".dll", ".exe")) and code(name, x) == code(name, y)):
        continue
    bad.append(name)
sys.exit(" ".join(bad) or None)
PY
}
for pair in "$zip $again" "$symbols ${again%.zip}-symbols.zip"; do
  set -- $pair
  if cmp -s "$1" "$2"; then echo "== identical: $(basename "$1") $(sha256sum "$1" | cut -c1-16)"
  elif differs=$(zip_diff "$1" "$2" 2>&1) && [ -n "$launcher" ]; then echo "== identical but for debug information: $(basename "$1")"
  else fail "$(basename "$1") differs between the two packages: ${differs:-in the zip file itself}"; fi
done

echo "== checking the release's content"
pkg=$work/unpacked sym=$work/symbols
unpack "$zip" "$pkg"; unpack "$symbols" "$sym"
expected="BUILDINFO.txt DEPLOYMENT.txt SHA256SUMS include/plx_srv_citrix.h reg/log-off.reg reg/log-on-debug.reg reg/log-on-error.reg reg/log-settings-remove.reg x64/plx_srv_citrix64.dll x64/plxprobe.exe x86/plx_srv_citrix32.dll x86/plxprobe.exe "
files() { (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' '); }
[ "$(files "$pkg")" = "$expected" ] || fail "the zip holds [$(files "$pkg")], expected [$expected]"
[ "$(files "$sym")" = "BUILDINFO.txt SHA256SUMS x64/plx_srv_citrix64.dll.debug x64/plxprobe.exe.debug x86/plx_srv_citrix32.dll.debug x86/plxprobe.exe.debug " ] ||
  fail "the symbols zip holds [$(files "$sym")]"
for dir in "$pkg" "$sym"; do
  (cd "$dir" && sha256sum --check --strict --quiet SHA256SUMS) || fail "SHA256SUMS in $(basename "$dir") does not match"
  [ "$(awk '{print $2}' "$dir/SHA256SUMS" | tr '\n' ' ')SHA256SUMS " = "$(files "$dir" | sed 's/SHA256SUMS //')SHA256SUMS " ] ||
    fail "SHA256SUMS in $(basename "$dir") does not list every other file"
done
cmp -s "$pkg/include/plx_srv_citrix.h" "$root/include/plx_srv_citrix.h" || fail "the packaged header differs from include/"
cmp -s "$pkg/BUILDINFO.txt" "$sym/BUILDINFO.txt" || fail "the two zips' BUILDINFO.txt differ"
info=$(tr -d '\r' <"$pkg/BUILDINFO.txt")
for want in "^commit +$head " "^plog +1\.1\.11$" "^i686 compiler .*GCC.* [0-9]+" "^x86_64 compiler .*GCC.* [0-9]+" \
            "^i686 binutils .*Binutils.* 2\.[0-9]+" "^x86_64 binutils .*Binutils.* 2\.[0-9]+" "^signatures +not signed$"; do
  grep -qE "$want" <<<"$info" || fail "BUILDINFO.txt has no line matching [$want]: [$info]"
done
reg() { tr -d '\r' <"$pkg/reg/$1" | sed -n '3,$p' | grep -v '^;'; }
[ "$(reg log-off.reg)" = $'[HKEY_CURRENT_USER\\Software\\Orbivex\\Pathlens\\Log\\server]\n"severity"=dword:00000000' ] &&
  [ "$(reg log-on-debug.reg | tail -n 1)" = '"severity"=dword:00000005' ] || fail "log-off.reg or log-on-debug.reg"
[ "$(reg log-settings-remove.reg)" = '[-HKEY_CURRENT_USER\Software\Orbivex\Pathlens\Log\server]' ] &&
  [ "$(head -c 37 "$pkg/reg/log-settings-remove.reg")" = $'Windows Registry Editor Version 5.00\r' ] ||
  fail "log-settings-remove.reg does not delete the settings key: [$(cat "$pkg/reg/log-settings-remove.reg")]"

# Where each export is defined, from the sources: "<function> at <file>:<line>".
definition() {
  local hit; hit=$(cd "$root" && grep -n -E "^int32_t PLX_CDECL $1\(" src/exports/*.cpp)
  echo "$1 at ${hit%%:*}:$(cut -d: -f2 <<<"$hit")"
}
# <folder> <arch> <objdump's file format> <DLL> <name symbolize.sh gets>
check_binaries() {
  local folder=$1 arch=$2 format=$3 dll=$4 module=$5 file dump
  for file in "$dll" plxprobe.exe; do
    dump=$("$arch-w64-mingw32-objdump" -p "$pkg/$folder/$file")
    grep -q "file format $format" <<<"$dump" || fail "$folder/$file is not $format"
    grep -qE '^Time/Date[[:space:]]+Thu Jan  1 00:00:00 1970' <<<"$dump" || fail "$folder/$file has a link time stamp"
    grep -qE 'Entry 6 0+ 00000000 Debug Directory' <<<"$dump" || fail "$folder/$file has a debug directory"
    # .gnu_debuglink: the debug file's name, NUL-padded to 4 bytes, then the CRC-32 of its content.
    "$arch-w64-mingw32-objcopy" --dump-section .gnu_debuglink="$work/link" "$pkg/$folder/$file" "$work/scratch" &&
      python3 - "$work/link" "$sym/$folder/$file.debug" <<'PY' || fail "$folder/$file: no debug link to its .debug file"
import os, struct, sys, zlib
link = open(sys.argv[1], "rb").read()
name, crc = link[:link.index(b"\0")].decode(), struct.unpack("<I", link[-4:])[0]
want = os.path.basename(sys.argv[2])
if name != want or crc != zlib.crc32(open(sys.argv[2], "rb").read()):
    sys.exit("debug link %s/%08x, expected %s with the CRC of that file" % (name, crc, want))
PY
  done
  bash "$root/tests/exports/check_binaries.sh" "$arch-w64-mingw32-objdump" "$version" "$pkg/$folder/$dll" "$pkg/$folder/plxprobe.exe" ||
    fail "$folder: export, import or version check"
  # name -> RVA from the packaged DLL's export table
  local rvas
  rvas=$("$arch-w64-mingw32-objdump" -p "$pkg/$folder/$dll" | sed -E 's/\[ *([0-9]+)\]/[\1]/g' | awk '
    {gsub(/[][]/, "", $1)} /Export RVA/ {rva[$1] = $3} /Ordinal\/Name Pointer\] Table/ {on = 1; next}
    on && NF == 0 {on = 0} on {print $NF, rva[$1]}')
  local args=() want="" name rva
  while read -r name rva; do
    args+=("$module+0x$rva")
    want+="$module+0x$rva: $(definition "$name")"$'\n'
  done <<<"$rvas"
  local got; got=$("$root/scripts/symbolize.sh" "$symbols" "${args[@]}" 2>/dev/null)
  [ ${#args[@]} -eq 3 ] && [ "$got"$'\n' = "$want" ] || fail "$folder: symbolize.sh printed [$got], expected [$want]"
  echo "$got"
}
check_binaries x86 i686 pei-i386 plx_srv_citrix32.dll plx_srv_citrix32.dll
check_binaries x64 x86_64 pei-x86-64 plx_srv_citrix64.dll PLX_SRV_CITRIX64

echo "== signing with a throwaway certificate"
ca=$work/ca
mkdir "$ca"
(cd "$ca" &&
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Throwaway Test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign &&
  openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Throwaway Signer" &&
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext &&
  openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext -out signer.pem &&
  openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout pass:'t0p s3cret' -out signer.pfx
) >"$work/openssl.log" 2>&1 || { cat "$work/openssl.log"; fail "openssl could not make a throwaway certificate"; }
signed=$(PLX_PACKAGE_FROM_TREES="$root/build" PLX_SIGN_PFX="$ca/signer.pfx" PLX_SIGN_PFX_PASSWORD='t0p s3cret' \
  package "$work/signed" "${allow[@]}")
spkg=$work/signed-unpacked
unpack "$signed" "$spkg"
(cd "$spkg" && sha256sum --check --strict --quiet SHA256SUMS) || fail "SHA256SUMS of the signed package does not match"
grep -q '^signatures *Authenticode, SHA-256, without a time stamp' "$spkg/BUILDINFO.txt" || fail "BUILDINFO.txt of the signed package"
for file in x86/plx_srv_citrix32.dll x86/plxprobe.exe x64/plx_srv_citrix64.dll x64/plxprobe.exe; do
  osslsigncode verify -CAfile "$ca/ca.pem" -in "$spkg/$file" >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log"; fail "$file: the signature does not verify"; }
  osslsigncode verify -CAfile "$ca/ca.pem" -in "$pkg/$file" >/dev/null 2>&1 && fail "$file of the unsigned release verifies"
done
echo "== signatures verified: $(grep -m1 -i 'signer.*subject\|Subject:' "$work/verify.log" | sed 's/^[[:space:]]*//')"

# <folder> <arch> <DLL> <substitute WinFrame API>
run_probe() {
  local folder=$1 arch=$2 dll=$3 wfapi=$4 build="$root/build/$2" out rc
  if [ "$arch" = i686 ] && ! { "$root/scripts/can-run-32bit.sh" && [ -x /usr/lib/wine/wine ]; }; then
    echo "== $folder: checked statically (this machine does not run 32-bit code)"
    return
  fi
  echo "== $folder: signed plxprobe from the package, $wfapi beside $dll"
  PLX_BUILD_DIR="$build" "$root/scripts/build.sh" "$arch" --target wfapi_sim >/dev/null &&
    cp "$build/bin/$wfapi" "$spkg/$folder/" && "$build/wine-run.sh" --boot >/dev/null || { fail "no substitute or Wine prefix"; return; }
  local bits=64; [ "$arch" = i686 ] && bits=32
  out=$("$build/wine-run.sh" "$spkg/$folder/plxprobe.exe" --version | tr -d '\r')
  echo "$out"
  grep -qx "plxprobe $version ($bits-bit)" <<<"$out" && grep -q "^$dll $version (" <<<"$out" ||
    fail "$folder: plxprobe --version printed [$out]"
  "$build/wine-run.sh" "$spkg/$folder/plxprobe.exe" --json --v2 --timeout 30 >"$work/$folder.json" 2>"$work/$folder.err"
  rc=$?
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
print("record %d (version 2) from the package's DLL %s: userName %r, latency %d ms" % (
    record["record"], record["dllVersion"], record["userName"], record["latency"]))
PY
  "$build/wine-run.sh" --kill
}
run_probe x86 i686 plx_srv_citrix32.dll WFAPI.DLL
run_probe x64 x86_64 plx_srv_citrix64.dll WFAPI64.DLL

echo "== package test took $((SECONDS - started)) s"
[ $status -eq 0 ] && echo "== package test passed" || echo "== package test FAILED"
exit $status
