#!/usr/bin/env bash
# Prints the architecture that scripts measure by default: i686, the product, where this
# machine runs 32-bit code under 32-bit Wine; x86_64 otherwise.
here=$(cd "$(dirname "$0")" && pwd)
if "$here/can-run-32bit.sh" && [ -x /usr/lib/wine/wine ]; then echo i686; else echo x86_64; fi
