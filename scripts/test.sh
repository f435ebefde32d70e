#!/usr/bin/env bash
# Sets up the machine, builds both architectures and runs the tests under Wine: the i686
# product first where 32-bit code can execute, then the x86_64 product (wine64), which always
# runs; last the release package (tests/package/package_test.sh), whose build runs beside the tests.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
unset PLX_BUILD_DIR  # this script uses the standard build trees
"$root/scripts/setup.sh" || { echo "test.sh: set-up failed"; exit 1; }

status=0
ran=()
passed=0
failed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Adds up ctest's closing line ("NN% tests passed, F tests failed out of T").
count() {
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    local f t
    f=$(sed -E 's/.*passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.*passed, ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + t - f)); failed=$((failed + f))
  fi
}
# Only what will run is built: where the i686 tests cannot run, the i686 tree gets the binaries its
# static checks read (the DLL, the probe and the substitute WinFrame API), not its test programs.
if "$root/scripts/can-run-32bit.sh" && [ -x /usr/lib/wine/wine ]; then run32=1; else run32=0; fi
echo "== building i686"
if [ $run32 -eq 1 ]; then
  "$root/scripts/build.sh" i686 || { echo "test.sh: i686 build failed"; exit 1; }
else
  "$root/scripts/build.sh" i686 --target plx_srv_citrix plxprobe wfapi_sim || { echo "test.sh: i686 build failed"; exit 1; }
fi
echo "== building x86_64"
"$root/scripts/build.sh" x86_64 || { echo "test.sh: x86_64 build failed"; exit 1; }

run_ctest() {
  local arch=$1
  echo "== testing $arch"
  (cd "$root/build/$arch" && ctest --output-on-failure --timeout 900) 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  count
  "$root/build/$arch/wine-run.sh" --kill
  ran+=("$arch")
}

# The release is built from the committed sources in fresh trees of its own while the tests
# run: they mostly wait on their counterpart, and the build at the lowest priority takes
# only the processor time they leave.
release=$(mktemp -d)
trap 'rm -f "$log"; rm -rf "$release"' EXIT
nice -n 19 bash "$root/tests/package/package_test.sh" --build-release "$release" >"$release/build.out" 2>&1 &
release_build=$!

if [ $run32 -eq 1 ]; then
  run_ctest i686
  skipped=""
else
  # What only the 32-bit product can get wrong (export names, imports) is checked with objdump
  # and needs no Wine, so it runs on every machine.
  echo "== static checks of i686"
  (cd "$root/build/i686" && ctest --output-on-failure -L static) 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  count
  if "$root/scripts/can-run-32bit.sh"; then
    skipped="i686 tests skipped: 32-bit Wine (wine32:i386) is not installed"
  else
    skipped="i686 tests skipped: this machine cannot execute 32-bit code (the i686 build was still built and statically checked)"
  fi
fi
run_ctest x86_64
wait $release_build

# The release package: compared with the trees above, signed with a throwaway certificate,
# unpacked and run.
echo "== release package"
PLX_PACKAGE_RELEASE=$release bash "$root/tests/package/package_test.sh" 2>&1 | tee "$log"
if [ "${PIPESTATUS[0]}" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi

echo "== tests ran on: ${ran[*]}"
[ -n "$skipped" ] && echo "== $skipped"
if [ $status -ne 0 ]; then echo "== FAILED"; else echo "== all tests passed"; fi
echo "$passed passed, $failed failed"
exit $status
