#!/usr/bin/env bash
# Sets the machine up, builds the x86_64 plug-in (plx_srv_citrix64.dll) and runs plxprobe under
# wine64 against the substitute WFAPI64.DLL, which plays a scripted ICA session. Logging is switched on in the
# Wine prefix's registry, and the script shows where the log went.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
unset PLX_BUILD_DIR  # this script uses the standard build trees
dir="$root/build/x86_64"

"$root/scripts/setup.sh"
echo "== building the x86_64 build (plx_srv_citrix64.dll, plxprobe.exe, substitute WFAPI64.DLL)"
"$root/scripts/build.sh" x86_64 --target plx_srv_citrix plxprobe wfapi_sim
"$dir/wine-run.sh" --boot >/dev/null

# The session the substitute plays: a client with a 25 ms round trip and version-2 data.
scenario=$(mktemp /tmp/plx-demo-session.XXXXXX)
trap 'rm -f "$scenario"' EXIT
cat > "$scenario" <<'SESSION'
latency_ms    = 25
jitter_ms     = 1
user_name     = j.doe
computer_name = LAPTOP-JDOE
clientText1   = "Windows 11 Pro"
clientText5   = x64
clientText7   = en-GB
clientValue1  = 8
clientReal1   = 23.11
v2            = 1
extText1      = "ext demo"
extValue1     = 2
SESSION

# Logging is off until the registry asks for it: severity 5 (debug) into a demo folder.
logdir_win='C:\plx-demo\logs'
logdir="$dir/wineprefix/drive_c/plx-demo/logs"
key='HKCU\Software\Orbivex\Pathlens\Log\server'
"$dir/wine-run.sh" reg add "$key" /v severity /t REG_DWORD /d 5 /f >/dev/null
"$dir/wine-run.sh" reg add "$key" /v path_root /t REG_SZ /d "$logdir_win" /f >/dev/null
echo "== logging enabled: $key severity=5 path_root=$logdir_win"

echo "== plxprobe --v2 (version-2 record) against the scripted session"
status=0
WFSIM_SCENARIO="Z:${scenario//\//\\}" "$dir/wine-run.sh" "$dir/bin/plxprobe.exe" --v2 --timeout 20 || status=$?

log=$(ls -t "$logdir"/plx_srv_dll_citrix_*.log 2>/dev/null | head -1 || true)
if [ -n "$log" ]; then
  echo "== the library's log: $logdir_win\\$(basename "$log")"
  echo "   (on this machine: $log); its first lines:"
  head -n 12 "$log" | sed 's/^\xEF\xBB\xBF//; s/^/   /'
else
  echo "== no log file appeared in $logdir"
fi
"$dir/wine-run.sh" --kill  # the wineserver that --boot left running
exit $status
