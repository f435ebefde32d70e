#!/usr/bin/env bash
# Builds one architecture and runs the benchmark (plxbench.exe) under its Wine against the
# substitute WinFrame API (WFAPI.DLL, or WFAPI64.DLL for x86_64). Every figure is measured in
# this run and printed with its goal and PASS or MISS; a MISS does not fail the script. Takes
# about four minutes.
#   scripts/bench.sh [i686|x86_64]   default: i686 (the product) where 32-bit code runs, else x86_64
#   PLX_BUILD_DIR=<dir>  build tree to use (default: build/<arch>)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
arch=${1:-$("$root/scripts/default-arch.sh")}
case $arch in i686|x86_64) ;; *) echo "bench.sh: unknown architecture '$arch' (i686 or x86_64)"; exit 2;; esac
dir=${PLX_BUILD_DIR:-$root/build/$arch}
echo "== building plxbench, the plug-in and the substitute WinFrame API in $dir"
PLX_BUILD_DIR="$dir" "$root/scripts/build.sh" "$arch" --target plxbench
"$dir/wine-run.sh" --boot >/dev/null

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
wine=/usr/lib/wine/wine64; [ "$arch" = i686 ] && wine=/usr/lib/wine/wine
echo "== $arch under $($wine --version); host: $(nproc) cores ($cpu), $(uname -sr)"
status=0
"$dir/wine-run.sh" "$dir/bin/plxbench.exe" || status=$?
"$dir/wine-run.sh" --kill  # the wineserver that --boot left running
exit $status
