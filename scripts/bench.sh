#!/usr/bin/env bash
# Builds the x86_64 twin and runs the benchmark (plxbench.exe) under wine64 against the
# substitute WFAPI.DLL. Every figure is measured in this run and printed with its goal and
# PASS or MISS; a MISS does not fail the script. Takes about two minutes.
#   PLX_BUILD_DIR=<dir>  build tree to use (default: build/x86_64)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${PLX_BUILD_DIR:-$root/build/x86_64}

"$root/scripts/setup.sh"
echo "== building plxbench, plx_srv_citrix32.dll and the substitute WFAPI.DLL in $dir"
PLX_BUILD_DIR="$dir" "$root/scripts/build.sh" x86_64 --target plxbench
"$dir/wine-run.sh" --boot >/dev/null

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
echo "== host: $(nproc) cores ($cpu), $(uname -sr), $(/usr/lib/wine/wine64 --version)"
"$dir/wine-run.sh" "$dir/bin/plxbench.exe"
