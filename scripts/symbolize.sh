#!/usr/bin/env bash
# Turns module offsets from a crash report into function, source file and line, with the
# symbols package of the release the crashed binary came from:
#   scripts/symbolize.sh <plx_srv_citrix-<version>-symbols.zip or its unpacked folder> <module>+<offset>...
# <module> as crash reports name it: plx_srv_citrix32.dll, PLX_SRV_CITRIX32 (WinDbg drops the
# extension), or x86/plxprobe.exe / x64/plxprobe.exe for a probe, whose name both halves share.
# <offset> is hexadecimal (0x1a2b3), relative to the module's load address (the "Fault offset"
# of Windows' Application Error event, WinDbg's module+offset); it is added to the image base
# the module was linked at. Inlined calls are shown as "(inlined by)" lines.
# Each address gives one line "<module>+<offset>: <function> at <file>:<line>" and its inlined
# callers. Needs the MinGW-w64 binutils (scripts/setup.sh installs them).
set -euo pipefail
usage() { echo "usage: scripts/symbolize.sh <symbols.zip or folder> <module>+0x<offset>..."; exit 2; }
[ $# -ge 2 ] || usage
symbols=$1; shift
if [ -f "$symbols" ]; then
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' EXIT
  python3 -m zipfile -e "$symbols" "$dir"
elif [ -d "$symbols" ]; then
  dir=$symbols
else
  echo "symbolize.sh: no symbols package at $symbols"; exit 2
fi
[ -f "$dir/BUILDINFO.txt" ] && echo "== symbols of $(head -n 2 "$dir/BUILDINFO.txt" | tr -d '\r' | tr -s ' ' | paste -sd ' ' -)" >&2

status=0
for spec in "$@"; do
  module=${spec%+*}; offset=${spec##*+}
  if [ "$module" = "$spec" ] || ! [[ "$offset" =~ ^(0[xX])?[0-9a-fA-F]+$ ]]; then
    echo "$spec: not <module>+<hex offset>"; status=1; continue
  fi
  # The .debug file whose name (with or without the extension) and, if given, folder match.
  want=$(tr '[:upper:]' '[:lower:]' <<<"$module")
  matches=()
  while IFS= read -r file; do
    rel=$(tr '[:upper:]' '[:lower:]' <<<"${file#"$dir"/}")
    rel=${rel%.debug}
    base=${rel##*/}
    case "$want" in
      */*) [ "$want" = "$rel" ] || [ "$want" = "${rel%.*}" ] ;;
      *) [ "$want" = "$base" ] || [ "$want" = "${base%.*}" ] ;;
    esac && matches+=("$file")
  done < <(find "$dir" -name '*.debug' -type f | LC_ALL=C sort)
  if [ ${#matches[@]} -ne 1 ]; then
    [ ${#matches[@]} -eq 0 ] && echo "$spec: no debug information for $module in $symbols" ||
      echo "$spec: $module is ambiguous, name its folder: $(printf '%s ' "${matches[@]#"$dir"/}" | sed 's/\.debug//g')"
    status=1; continue
  fi
  debug=${matches[0]}
  prefix=x86_64-w64-mingw32
  "$prefix-objdump" -f "$debug" | grep -q 'file format pei-i386' && prefix=i686-w64-mingw32
  header=$("$prefix-objdump" -p "$debug")
  base=$(awk '$1 == "ImageBase" {print $2; exit}' <<<"$header")
  size=$(awk '$1 == "SizeOfImage" {print $2; exit}' <<<"$header")
  if (( 16#${offset#0[xX]} >= 16#$size )); then
    echo "$spec: beyond the end of the module (its image is 0x$size bytes)"; status=1; continue
  fi
  address=$(printf '0x%x' $(( 16#$base + 16#${offset#0[xX]} )))
  # addr2line strips the i686 symbol prefix "_" from C++ names that carry none in the debug
  # information (ZN... instead of _ZN...): it is put back so that c++filt can demangle them.
  fix_prefix='s/^/&/'
  [ $prefix = i686-w64-mingw32 ] && fix_prefix='s/^( \(inlined by\) )?(Z[NZL_0-9])/\1_\2/'
  "$prefix-addr2line" -e "$debug" -f -i -p "$address" | sed -E "$fix_prefix" | "$prefix-c++filt" -n |
    sed -E "1s|^|$spec: |; 2,\$s|^|    |; s| at \./| at |"
done
exit $status
