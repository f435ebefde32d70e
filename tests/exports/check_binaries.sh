#!/usr/bin/env bash
# Static check of built binaries (no Wine):
#   check_binaries.sh <objdump> <version> <plug-in DLL> <plxprobe.exe> [more binaries...]
# - the plug-in exports exactly its three functions, by undecorated name;
# - every binary imports only Windows system DLLs: no compiler runtime DLL (libstdc++, libgcc,
#   libwinpthread) and never a WinFrame API library (WFAPI.DLL, WFAPI64.DLL), which the plug-in
#   loads at run time;
# - the plug-in and the probe carry a version resource naming <version> and their own file name;
# - Windows accepts the callback guard's exception handler: a 32-bit plug-in is not marked NO_SEH
#   and carries no safe-handler table, or one that lists the handler the guard registers; the
#   64-bit plug-in's unwind data for the guard names its handler. The handler is found by its
#   symbol: in a stripped DLL (the package's) any safe-handler table fails, and the 64-bit unwind
#   data is checked only in the build tree.
set -u
objdump=${1:?objdump}
version=${2:?version}
product=${3:?plug-in DLL}
probe=${4:?plxprobe.exe}
shift 4
status=0
fail() { echo "FAIL: $*"; status=1; }

imports_of() { "$objdump" -p "$1" | awk '/DLL Name:/ {print tolower($3)}'; }

system_dlls=" kernel32.dll msvcrt.dll advapi32.dll shell32.dll user32.dll ole32.dll oleaut32.dll ws2_32.dll version.dll "
check_imports() {
  local file=$1 dll
  for dll in $(imports_of "$file"); do
    case "$dll" in
      libstdc++*|libgcc*|libwinpthread*) fail "$(basename "$file") imports the runtime DLL $dll" ;;
      wfapi*.dll) fail "$(basename "$file") imports $dll instead of loading it at run time" ;;
      *) [[ "$system_dlls" == *" $dll "* ]] || fail "$(basename "$file") imports $dll, not a Windows system DLL" ;;
    esac
  done
}

# The VERSIONINFO strings are UTF-16: each value follows its key.
check_version_resource() {
  local file=$1 text
  text=$(strings -el "$file" | tr '\n' '|')
  # Four parts, as Windows shows them: x.y.z becomes x.y.z.0.
  local four=$version
  [[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] && four=$version.0
  [[ "$text" == *"|FileVersion|$four|"* && "$text" == *"|ProductVersion|$four|"* ]] ||
    fail "$(basename "$file") has no version resource for $four"
  [[ "$text" == *"|OriginalFilename|$(basename "$file")|"* && "$text" == *"|CompanyName|Orbivex|"* &&
     "$text" == *"|ProductName|Pathlens|"* ]] ||
    fail "$(basename "$file"): version resource without its file name, company or product"
}

# Little-endian integers of a file at a byte offset.
u16() { od -An --endian=little -t u2 -j "$2" -N 2 "$1" | tr -d ' '; }
u32() { od -An --endian=little -t u4 -j "$2" -N 4 "$1" | tr -d ' '; }
symbol_address() { "${objdump%objdump}nm" "$1" 2>/dev/null | awk -v name="$2" '$3 == name {print $1; exit}'; }

# File offset of an RVA, from the section table (empty when no section holds it).
rva_to_offset() {
  local file=$1 rva=$2 pe sections table i at va size raw
  pe=$(u32 "$file" 60)
  sections=$(u16 "$file" $((pe + 6)))
  table=$((pe + 24 + $(u16 "$file" $((pe + 20)))))
  for ((i = 0; i < sections; i++)); do
    at=$((table + 40 * i))
    va=$(u32 "$file" $((at + 12))) size=$(u32 "$file" $((at + 16))) raw=$(u32 "$file" $((at + 20)))
    if ((rva >= va && rva < va + size)); then echo $((rva - va + raw)); return; fi
  done
}

# The system checks a 32-bit image's handlers before each call (SafeSEH); a table address with no
# entries is taken for a table that lists nothing.
check_safe_seh() {
  local dll=$1 name pe opt base handler registered dir offset lc_size table count entries i listed=0
  name=$(basename "$dll")
  pe=$(u32 "$dll" 60) opt=$((pe + 24))
  base=$(u32 "$dll" $((opt + 28)))
  (($(u16 "$dll" $((opt + 70))) & 0x0400)) && fail "$name is marked NO_SEH: Windows would refuse the callback guard's handler"
  dir=$(u32 "$dll" $((opt + 96 + 10 * 8)))
  handler=$(symbol_address "$dll" _plx_guard_handler_x86)
  if [ -n "$handler" ]; then
    # The handler the guard's code actually pushes onto the fs:[0] chain.
    registered=$("$objdump" -d --disassemble=_plx_guarded_callback "$dll" |
      awk '/\tpush +\$0x/ {sub(/.*\$0x/, ""); print; exit}')
    [ "$((16#${registered:-0}))" = "$((16#$handler))" ] ||
      fail "$name: the guard registers 0x${registered:-?}, not its handler 0x$handler"
    handler=$((16#$handler - base))
  fi
  echo "$name: guard handler rva $([ -n "$handler" ] && printf 0x%x "$handler" || echo "unknown (stripped)")," \
    "load configuration rva 0x$(printf %x "$dir")"
  ((dir == 0)) && return
  offset=$(rva_to_offset "$dll" "$dir")
  [ -n "$offset" ] || { fail "$name: load configuration outside every section"; return; }
  lc_size=$(u32 "$dll" "$offset")
  ((lc_size >= 0x48)) || return
  table=$(u32 "$dll" $((offset + 0x40))) count=$(u32 "$dll" $((offset + 0x44)))
  ((table == 0 && count == 0)) && return
  [ -n "$handler" ] || { fail "$name has a safe-handler table and no symbols to find the guard's handler in it"; return; }
  entries=$(rva_to_offset "$dll" $((table - base)))
  for ((i = 0; i < count && ${entries:-0} > 0; i++)); do
    (($(u32 "$dll" $((entries + 4 * i))) == handler)) && listed=1
  done
  ((listed)) || fail "$name has a safe-handler table ($count entries) without the callback guard's handler"
}

check_unwind_handler() {
  local dll=$1 start handler named
  start=$(symbol_address "$dll" plx_guarded_callback) handler=$(symbol_address "$dll" plx_guard_handler_x64)
  [ -n "$start" ] && [ -n "$handler" ] || { echo "$(basename "$dll"): stripped, the guard's unwind data is not checked"; return; }
  named=$("$objdump" -p "$dll" | awk -v start="$start" '
    $0 ~ "\\(rva: [0-9a-f]+\\): " start " - " {on = 1; next}
    on && /\(rva: / {exit}
    on && /Handler:/ {sub(/\.$/, "", $2); print $2; exit}')
  [ "$named" = "$handler" ] ||
    fail "$(basename "$dll"): the guard's unwind data names handler '${named:-none}', not $handler"
}

for f in "$product" "$probe" "$@"; do
  [ -f "$f" ] || { fail "missing $f"; continue; }
  check_imports "$f"
  echo "$(basename "$f") imports: $(imports_of "$f" | tr '\n' ' ')"
  [[ $f == "$product" || $f == "$probe" ]] && check_version_resource "$f"
done

if [ -f "$product" ]; then
  got=$("$objdump" -p "$product" | awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && NF==0 {on=0} on {print $NF}' |
    sort | tr '\n' ' ')
  want="icasrv_cleanup icasrv_get_remote_info icasrv_get_remote_info_v2 "
  [ "$got" = "$want" ] || fail "$(basename "$product") exports [$got], expected [$want]"
  echo "$(basename "$product") exports: $got"
  case $(u16 "$product" $(($(u32 "$product" 60) + 24))) in
    267) check_safe_seh "$product" ;;        # PE32
    523) check_unwind_handler "$product" ;;  # PE32+
    *) fail "$(basename "$product"): not a PE32 or PE32+ image" ;;
  esac
fi

[ $status -eq 0 ] && echo "binaries OK"
exit $status
