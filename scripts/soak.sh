#!/usr/bin/env bash
# Builds one architecture and soaks the DLL under its Wine (plxsoak.exe): 16 host threads call
# the get exports and cleanup in random order against a jittering, fault-injecting substitute
# counterpart; then the same with the WinFrame API left to the library, so that every cleanup really
# unloads it. Exits non-zero on a crash, a deadlock, a torn record or a leak.
#   scripts/soak.sh [i686|x86_64] [--long] [plxsoak options...]   --long: 60 s per run instead of 15 s
#   default architecture: i686 (the product) where 32-bit code runs, else x86_64
#   PLX_BUILD_DIR=<dir>  build tree to use (default: build/<arch>)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
case ${1:-} in i686|x86_64) arch=$1; shift;; *) arch=$("$root/scripts/default-arch.sh");; esac
dir=${PLX_BUILD_DIR:-$root/build/$arch}
seconds=15
if [ "${1:-}" = "--long" ]; then
  seconds=60
  shift
fi
echo "== building plxsoak, the plug-in and the substitute WinFrame API in $dir"
PLX_BUILD_DIR="$dir" "$root/scripts/build.sh" "$arch" --target plxsoak test_hostile
"$dir/wine-run.sh" --boot >/dev/null

status=0
echo "== soak ($arch): faults and payload churn from the substitute, ${seconds} s"
"$dir/wine-run.sh" "$dir/bin/plxsoak.exe" --seconds "$seconds" "$@" || status=1
echo "== soak: the WinFrame API unloaded by every cleanup, ${seconds} s"
"$dir/wine-run.sh" "$dir/bin/plxsoak.exe" --seconds "$seconds" --unload-wfapi "$@" || status=1
echo "== hostile counterpart ($arch): every seed"
PLX_HOSTILE_SEED=all "$dir/wine-run.sh" --test "$dir/bin/test_hostile.exe" --gtest_brief=1 || status=1
"$dir/wine-run.sh" --kill  # the wineserver that --boot left running
if [ $status -ne 0 ]; then echo "== soak FAILED"; else echo "== soak passed"; fi
exit $status
