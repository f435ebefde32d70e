#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine (run as root).
# Idempotent: packages already present cost no time.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# python3-minimal writes the release package's zip, git exports its sources, osslsigncode signs
# it (scripts/package.sh); openssl makes the package test's throwaway certificate.
need=(cmake ninja-build binutils python3-minimal git osslsigncode openssl g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest wine64)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

want32=0
if "$here/can-run-32bit.sh"; then
  want32=1
  dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed' || missing+=(wine32:i386)
fi

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
if [ $want32 = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
if [ $want32 = 1 ]; then
  # The i386 index of bookworm-security sometimes fails to download, which leaves wine32's
  # dependencies unresolvable; ranking that suite low lets the main suite satisfy them.
  cat > /etc/apt/preferences.d/plx-wine32 <<'PREF'
Package: *
Pin: release n=bookworm-security
Pin-Priority: 100
PREF
fi
echo "setup: installing ${missing[*]}"
apt-get update -qq || echo "setup: apt-get update reported errors; trying the install anyway"
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup: done"
