#!/usr/bin/env bash
# Static check of built binaries (no Wine):
#   check_binaries.sh <objdump> <version> <plug-in DLL> <plxprobe.exe> [more binaries...]
# - the plug-in exports exactly its three functions, by undecorated name;
# - every binary imports only Windows system DLLs: no compiler runtime DLL (libstdc++, libgcc,
#   libwinpthread) and never a WinFrame API library (WFAPI.DLL, WFAPI64.DLL), which the plug-in
#   loads at run time;
# - the plug-in and the probe carry a version resource naming <version> and their own file name.
set -u
objdump=${1:?objdump}
version=${2:?version}
product=${3:?plug-in DLL}
probe=${4:?plxprobe.exe}
shift 4
status=0
fail() { echo "FAIL: $*"; status=1; }

# Names of the export name table, one per line.
exports_of() {
  "$objdump" -p "$1" | awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && NF==0 {on=0} on {print $NF}'
}
imports_of() {
  "$objdump" -p "$1" | awk '/DLL Name:/ {print tolower($3)}'
}

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

for f in "$product" "$probe" "$@"; do
  [ -f "$f" ] || { fail "missing $f"; continue; }
  check_imports "$f"
  echo "$(basename "$f") imports: $(imports_of "$f" | tr '\n' ' ')"
done
for f in "$product" "$probe"; do
  [ -f "$f" ] && check_version_resource "$f"
done

if [ -f "$product" ]; then
  got=$(exports_of "$product" | sort | tr '\n' ' ')
  want="icasrv_cleanup icasrv_get_remote_info icasrv_get_remote_info_v2 "
  [ "$got" = "$want" ] || fail "$(basename "$product") exports [$got], expected [$want]"
  echo "$(basename "$product") exports: $got"
fi

[ $status -eq 0 ] && echo "binaries OK"
exit $status
