#!/usr/bin/env bash
# Static check of the built binaries (no Wine): check_binaries.sh <objdump> <bin folder>
# - plx_srv_citrix32.dll exports exactly its three functions, by undecorated name;
# - it, plxprobe.exe and WFAPI.DLL import only Windows system DLLs: no compiler runtime DLL
#   (libstdc++, libgcc, libwinpthread) and never WFAPI.DLL, which is loaded at run time.
set -u
objdump=${1:?objdump}
bin=${2:?bin folder}
status=0
fail() { echo "FAIL: $*"; status=1; }

# Names of the export name table, one per line.
exports_of() {
  "$objdump" -p "$1" | awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && NF==0 {on=0} on {print $NF}'
}
imports_of() {
  "$objdump" -p "$1" | awk '/DLL Name:/ {print tolower($3)}'
}

system_dlls=" kernel32.dll msvcrt.dll advapi32.dll shell32.dll user32.dll ole32.dll oleaut32.dll ws2_32.dll "
check_imports() {
  local file=$1 dll
  for dll in $(imports_of "$file"); do
    case "$dll" in
      libstdc++*|libgcc*|libwinpthread*) fail "$(basename "$file") imports the runtime DLL $dll" ;;
      wfapi.dll) fail "$(basename "$file") imports WFAPI.DLL instead of loading it at run time" ;;
      *) [[ "$system_dlls" == *" $dll "* ]] || fail "$(basename "$file") imports $dll, not a Windows system DLL" ;;
    esac
  done
}

product="$bin/plx_srv_citrix32.dll"
for f in "$product" "$bin/plxprobe.exe" "$bin/WFAPI.DLL"; do
  [ -f "$f" ] || { fail "missing $f"; continue; }
  check_imports "$f"
  echo "$(basename "$f") imports: $(imports_of "$f" | tr '\n' ' ')"
done

if [ -f "$product" ]; then
  got=$(exports_of "$product" | sort | tr '\n' ' ')
  want="icasrv_cleanup icasrv_get_remote_info icasrv_get_remote_info_v2 "
  [ "$got" = "$want" ] || fail "plx_srv_citrix32.dll exports [$got], expected [$want]"
  echo "plx_srv_citrix32.dll exports: $got"
fi

[ $status -eq 0 ] && echo "binaries OK"
exit $status
