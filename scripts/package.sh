#!/usr/bin/env bash
# Builds both architectures and writes the release package dist/plx_srv_citrix-<version>.zip:
#   x86/plx_srv_citrix32.dll, x86/plxprobe.exe    for 32-bit hosts
#   x64/plx_srv_citrix64.dll, x64/plxprobe.exe    for 64-bit hosts
#   include/plx_srv_citrix.h, reg/*.reg (log on at debug, on at error, off), DEPLOYMENT.txt, SHA256SUMS
# The same sources give the same zip, byte for byte: the binaries are linked without a time
# stamp and stripped with a fixed one, and the zip's entries have fixed times and order.
#   scripts/package.sh [--out DIR]     default DIR: dist/ in the source tree
#   PLX_PACKAGE_BUILD_ROOT=<dir>       build trees <dir>/i686 and <dir>/x86_64 (default: build/)
# The last line of the output is the zip's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/dist
if [ "${1:-}" = "--out" ]; then
  out=${2:?"--out needs a folder"}
  shift 2
fi
[ $# -eq 0 ] || { echo "usage: scripts/package.sh [--out DIR]"; exit 2; }
build_root=${PLX_PACKAGE_BUILD_ROOT:-$root/build}
"$root/scripts/setup.sh"

# The value of a #define in a build tree's generated plx_build_info.h.
build_info() {
  sed -n "s/^#define $2 \"\\(.*\\)\"\$/\\1/p" "$build_root/$1/generated/plx_build_info.h"
}

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
version=""
for arch in i686 x86_64; do
  echo "== building $arch in $build_root/$arch"
  PLX_BUILD_DIR="$build_root/$arch" "$root/scripts/build.sh" "$arch" --target plx_srv_citrix plxprobe
  v=$(build_info "$arch" PLX_VERSION_TEXT)
  [ -n "$v" ] && { [ -z "$version" ] || [ "$v" = "$version" ]; } || { echo "package.sh: no or differing versions"; exit 1; }
  version=$v
  folder=x64; [ "$arch" = i686 ] && folder=x86
  mkdir -p "$stage/$folder"
  # Shipped without debug information (the build trees keep it). strip writes a PE time stamp:
  # SOURCE_DATE_EPOCH makes it 0, as the linker's is.
  for file in "$(build_info "$arch" PLX_DLL_NAME)" plxprobe.exe; do
    SOURCE_DATE_EPOCH=0 "$arch-w64-mingw32-strip" --strip-all -o "$stage/$folder/$file" "$build_root/$arch/bin/$file"
  done
done

mkdir -p "$stage/include" "$stage/reg"
cp "$root/include/plx_srv_citrix.h" "$stage/include/"
cp "$root/packaging/DEPLOYMENT.txt" "$stage/"
# One .reg file per log setting, with Windows line ends. Severity 0 is "off": no file is
# created and a running host stops writing; the key and its other values stay.
write_reg() {
  local file=$1 severity=$2 what=$3
  printf '%s\r\n' "Windows Registry Editor Version 5.00" "" \
    "; Pathlens Citrix server plug-in: $what. Import as the user under whom the host runs." \
    "[HKEY_CURRENT_USER\\Software\\Orbivex\\Pathlens\\Log\\server]" \
    "\"severity\"=dword:$(printf '%08x' "$severity")" > "$stage/reg/$file"
}
write_reg log-on-debug.reg 5 "log on at debug (call tracing)"
write_reg log-on-error.reg 2 "log on at error (failures only)"
write_reg log-off.reg 0 "log off (no log file is created)"

sums=$(cd "$stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum)
printf '%s\n' "$sums" > "$stage/SHA256SUMS"

mkdir -p "$out"
zip="$out/plx_srv_citrix-$version.zip"
# Entries in byte order of their names, each dated 1980-01-01 00:00 with mode 0644.
python3 - "$stage" "$zip.tmp" <<'PY'
import os, sys, zipfile
stage, target = sys.argv[1], sys.argv[2]
names = sorted((os.path.relpath(os.path.join(d, f), stage).replace(os.sep, "/")
                for d, _, files in os.walk(stage) for f in files), key=lambda n: n.encode())
with zipfile.ZipFile(target, "w") as z:
    for name in names:
        info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
        info.create_system = 3
        info.external_attr = 0o100644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(stage, name), "rb") as f:
            z.writestr(info, f.read(), compresslevel=9)
PY
mv "$zip.tmp" "$zip"
echo "== package $version: $(cd "$stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')"
echo "$zip"
