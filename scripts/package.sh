#!/usr/bin/env bash
# Builds the release of the committed sources and writes, in dist/:
#   plx_srv_citrix-<version>.zip
#     x86/plx_srv_citrix32.dll, x86/plxprobe.exe    for 32-bit hosts
#     x64/plx_srv_citrix64.dll, x64/plxprobe.exe    for 64-bit hosts
#     include/plx_srv_citrix.h, reg/*.reg (log on at debug, on at error, off, settings removed),
#     DEPLOYMENT.txt, BUILDINFO.txt (commit, toolchain, plog), SHA256SUMS
#   plx_srv_citrix-<version>-symbols.zip
#     x86/*.debug, x64/*.debug: the debug information of each shipped binary, which carries a
#     link to it (.gnu_debuglink); BUILDINFO.txt, SHA256SUMS. scripts/symbolize.sh reads it.
#
#   scripts/package.sh [--out DIR] [--allow-uncommitted]
#     --out DIR              where the zips go (default: dist/ in the source tree)
#     --allow-uncommitted    package the committed HEAD although the working tree has changes
#                            (they are not in the package); without it such a tree is refused
#   PLX_SIGN_PFX=<file.pfx> PLX_SIGN_PFX_PASSWORD=<password>
#                            Authenticode-sign both DLLs and both probes (osslsigncode, SHA-256)
#                            before the checksums are taken; without them the package is unsigned
#   PLX_SIGN_TIMESTAMP_URL=<url>
#                            an RFC 3161 time stamp server for the signatures (none by default)
#   PLX_PACKAGE_FROM_TREES=<dir>
#                            for the tests: package the binaries of the existing trees <dir>/i686
#                            and <dir>/x86_64 instead of building fresh ones. Such a zip is no
#                            release (nothing proves what those trees were built from); the
#                            package test compares it with a real one byte for byte.
#
# The release is built from `git archive HEAD` in fresh trees, in the release configuration
# (RelWithDebInfo, tests off, only the shipped targets). The same commit gives the same zips,
# byte for byte (unsigned): the binaries are linked without a time stamp and without build paths,
# split and stripped with a fixed time stamp, and the zips' entries have fixed times and order.
# The last line of the output is the package's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/dist
allow_uncommitted=0
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=${2:?"--out needs a folder"}; shift 2 ;;
    --allow-uncommitted) allow_uncommitted=1; shift ;;
    *) echo "usage: scripts/package.sh [--out DIR] [--allow-uncommitted]"; exit 2 ;;
  esac
done
"$root/scripts/setup.sh"

# A release names the commit it was built from, so it is built from nothing else.
commit=$(git -C "$root" rev-parse --verify HEAD)
changes=$(git -C "$root" status --porcelain --untracked-files=normal)
if [ -n "$changes" ]; then
  if [ $allow_uncommitted = 0 ]; then
    echo "package.sh: the working tree has uncommitted changes:"
    echo "$changes" | sed 's/^/  /'
    echo "package.sh: commit or stash them, or pass --allow-uncommitted to package commit $commit without them"
    exit 1
  fi
  echo "== uncommitted changes are left out: packaging commit $commit"
fi

# Signing is all or nothing: a certificate named without its password is an error, not an
# unsigned release.
sign=0
if [ -n "${PLX_SIGN_PFX:-}" ]; then
  [ -f "$PLX_SIGN_PFX" ] || { echo "package.sh: PLX_SIGN_PFX names no file: $PLX_SIGN_PFX"; exit 1; }
  [ -n "${PLX_SIGN_PFX_PASSWORD+set}" ] || { echo "package.sh: PLX_SIGN_PFX is set, PLX_SIGN_PFX_PASSWORD is not"; exit 1; }
  command -v osslsigncode >/dev/null || { echo "package.sh: osslsigncode is not installed"; exit 1; }
  sign=1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
release_type=RelWithDebInfo
jobs=$(( ($(nproc) + 1) / 2 ))

# The value of a #define in a tree's generated plx_build_info.h, and of a CMake cache entry.
build_info() { sed -n "s/^#define $2 \"\\(.*\\)\"\$/\\1/p" "$1/generated/plx_build_info.h"; }
cache_entry() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }

if [ -n "${PLX_PACKAGE_FROM_TREES:-}" ]; then
  trees=$PLX_PACKAGE_FROM_TREES
  echo "== packaging the binaries of the trees in $trees: for tests, not a release"
  for arch in i686 x86_64; do
    # An empty build type is the project's default, RelWithDebInfo.
    type=$(cache_entry "$trees/$arch" CMAKE_BUILD_TYPE 2>/dev/null || true)
    [ -f "$trees/$arch/CMakeCache.txt" ] && [ "${type:-RelWithDebInfo}" = $release_type ] ||
      { echo "package.sh: $trees/$arch is not configured as $release_type"; exit 1; }
    PLX_BUILD_DIR="$trees/$arch" "$root/scripts/build.sh" "$arch" --target plx_srv_citrix plxprobe >/dev/null
  done
else
  trees=$work/build
  mkdir -p "$work/src"
  git -C "$root" archive --format=tar "$commit" | tar -x -C "$work/src"
  # The project finds plog beside its source folder; the archive has no such neighbour.
  plog_option=()
  plog_local=$(cd "$root/.." && pwd)/shared/third_party/plog-1.1.11
  [ -f "$plog_local/include/plog/Log.h" ] && plog_option=(-DFETCHCONTENT_SOURCE_DIR_PLOG="$plog_local")
  echo "== building commit $commit ($release_type) in fresh trees, both architectures at once"
  archs=(i686 x86_64)
  pids=()
  for arch in "${archs[@]}"; do
    # Never through a compiler cache: ccache's base-dir rewriting would change the source paths
    # in the debug information, and a release takes nothing from earlier builds.
    ( env -u CMAKE_C_COMPILER_LAUNCHER -u CMAKE_CXX_COMPILER_LAUNCHER \
        cmake -S "$work/src" -B "$trees/$arch" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/toolchains/mingw-$arch.cmake" \
          -DCMAKE_BUILD_TYPE=$release_type -DBUILD_TESTING=OFF "${plog_option[@]}" &&
      cmake --build "$trees/$arch" -j "$jobs" --target plx_srv_citrix plxprobe ) >"$work/build-$arch.log" 2>&1 &
    pids+=($!)
  done
  failed=0
  for i in 0 1; do
    wait "${pids[$i]}" || { failed=1; tail -n 40 "$work/build-${archs[$i]}.log"; }
  done
  [ $failed = 0 ] || { echo "package.sh: the release build failed"; exit 1; }
fi

stage=$work/stage
symbols=$work/symbols
version=""
for arch in i686 x86_64; do
  tree=$trees/$arch
  v=$(build_info "$tree" PLX_VERSION_TEXT)
  [ -n "$v" ] && { [ -z "$version" ] || [ "$v" = "$version" ]; } || { echo "package.sh: no or differing versions"; exit 1; }
  version=$v
  folder=x64; [ "$arch" = i686 ] && folder=x86
  mkdir -p "$stage/$folder" "$symbols/$folder"
  # The debug information goes into <file>.debug; the shipped file is stripped and names that
  # file with its CRC, which debuggers check. objcopy writes a PE time stamp: SOURCE_DATE_EPOCH
  # makes it 0, as the linker's is.
  for file in "$(build_info "$tree" PLX_DLL_NAME)" plxprobe.exe; do
    SOURCE_DATE_EPOCH=0 "$arch-w64-mingw32-objcopy" --only-keep-debug "$tree/bin/$file" "$symbols/$folder/$file.debug"
    SOURCE_DATE_EPOCH=0 "$arch-w64-mingw32-objcopy" --strip-all \
      --add-gnu-debuglink="$symbols/$folder/$file.debug" "$tree/bin/$file" "$stage/$folder/$file"
  done
done

# Where plog came from: the folder the trees were configured with, else FetchContent's copy.
plog_dir=$(cache_entry "$trees/x86_64" FETCHCONTENT_SOURCE_DIR_PLOG)
[ -n "$plog_dir" ] || plog_dir=$trees/x86_64/_deps/plog-src
plog_version=$(sed -n 's/^project(plog VERSION \([0-9.]*\).*/\1/p' "$plog_dir/CMakeLists.txt" 2>/dev/null || true)
package_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo "(no Debian package $1)"; }
signing="not signed"
[ $sign = 1 ] && signing="Authenticode, SHA-256, ${PLX_SIGN_TIMESTAMP_URL:+time-stamped by $PLX_SIGN_TIMESTAMP_URL}"
[ $sign = 1 ] && [ -z "${PLX_SIGN_TIMESTAMP_URL:-}" ] && signing="Authenticode, SHA-256, without a time stamp"
{
  echo "Pathlens Citrix server plug-in $version"
  echo "commit           $commit ($(git -C "$root" show -s --format=%cI "$commit"))"
  echo "built from       git archive of that commit, in fresh trees"
  echo "configuration    $release_type (-O2 -g), C and C++ runtimes linked statically;"
  echo "                 debug information in plx_srv_citrix-$version-symbols.zip"
  for arch in i686 x86_64; do
    printf '%-17s%s, Debian %s\n' "$arch compiler" "$("$arch-w64-mingw32-g++-posix" --version | head -n 1)" \
      "$(package_version "g++-mingw-w64-${arch/_/-}-posix")"
    printf '%-17s%s, Debian %s\n' "$arch binutils" "$("$arch-w64-mingw32-ld" --version | head -n 1)" \
      "$(package_version "binutils-mingw-w64-${arch/_/-}")"
  done
  echo "mingw-w64 CRT    Debian $(package_version mingw-w64-common)"
  echo "cmake            $(cmake --version | head -n 1 | sed 's/^cmake version //'), ninja $(ninja --version)"
  echo "plog             ${plog_version:-unknown}"
  echo "signatures       $signing"
} | sed 's/$/\r/' > "$stage/BUILDINFO.txt"
cp "$stage/BUILDINFO.txt" "$symbols/"

mkdir -p "$stage/include" "$stage/reg"
cp "$root/include/plx_srv_citrix.h" "$stage/include/"
cp "$root/packaging/DEPLOYMENT.txt" "$stage/"
# One .reg file per log setting, with Windows line ends. Severity 0 is "off": no file is
# created and a running host stops writing; the key and its other values stay.
write_reg() {
  local file=$1 what=$2 line=$3
  printf '%s\r\n' "Windows Registry Editor Version 5.00" "" \
    "; Pathlens Citrix server plug-in: $what. Import as the user under whom the host runs." \
    "$line" > "$stage/reg/$file"
}
key='HKEY_CURRENT_USER\Software\Orbivex\Pathlens\Log\server'
severity() { printf '[%s]\r\n"severity"=dword:%08x' "$key" "$1"; }
write_reg log-on-debug.reg "log on at debug (call tracing)" "$(severity 5)"
write_reg log-on-error.reg "log on at error (failures only)" "$(severity 2)"
write_reg log-off.reg "log off (no log file is created)" "$(severity 0)"
# Deletes the plug-in's own key with all its values, which a running host reads as "off". The
# Log key above it stays: it may hold other components' settings, and a running host keeps
# watching it, so a later import takes effect at once.
write_reg log-settings-remove.reg "remove the log settings (log off)" "[-$key]"

if [ $sign = 1 ]; then
  printf '%s' "$PLX_SIGN_PFX_PASSWORD" > "$work/pfx-password"
  timestamp=()
  [ -n "${PLX_SIGN_TIMESTAMP_URL:-}" ] && timestamp=(-ts "$PLX_SIGN_TIMESTAMP_URL")
  for file in x86/plx_srv_citrix32.dll x86/plxprobe.exe x64/plx_srv_citrix64.dll x64/plxprobe.exe; do
    osslsigncode sign -pkcs12 "$PLX_SIGN_PFX" -readpass "$work/pfx-password" -h sha256 -comm \
      -n "Pathlens Citrix server plug-in" "${timestamp[@]}" -in "$stage/$file" -out "$stage/$file.signed" >/dev/null ||
      { echo "package.sh: signing $file failed"; exit 1; }
    mv "$stage/$file.signed" "$stage/$file"
  done
  echo "== signed: ${signing#Authenticode, }"
else
  echo "== not signed: set PLX_SIGN_PFX and PLX_SIGN_PFX_PASSWORD to sign the DLLs and probes"
fi

# SHA256SUMS over every other file, then the zip: entries in byte order of their names, each
# dated 1980-01-01 00:00 with mode 0644.
write_zip() {
  local dir=$1 target=$2
  (cd "$dir" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum) > "$work/SHA256SUMS"
  mv "$work/SHA256SUMS" "$dir/SHA256SUMS"
  python3 - "$dir" "$target.tmp" <<'PY'
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
  mv "$target.tmp" "$target"
}
mkdir -p "$out"
zip="$out/plx_srv_citrix-$version.zip"
write_zip "$symbols" "$out/plx_srv_citrix-$version-symbols.zip"
write_zip "$stage" "$zip"
echo "== symbols: $out/plx_srv_citrix-$version-symbols.zip"
echo "== package $version: $(cd "$stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')"
echo "$zip"
