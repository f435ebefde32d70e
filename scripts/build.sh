#!/usr/bin/env bash
# Configures and builds one architecture: scripts/build.sh i686|x86_64 [cmake --build options...]
# PLX_BUILD_DIR picks another build tree (default: build/<arch>).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:?arch}; shift
dir=${PLX_BUILD_DIR:-$root/build/$arch}
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-$arch.cmake" >/dev/null
fi
cmake --build "$dir" -j 2 "$@"
