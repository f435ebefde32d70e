#!/usr/bin/env bash
# Exits 0 when this machine can execute 32-bit x86 code (and so could run 32-bit Wine).
# Some kernels refuse 32-bit ELF altogether; we try a tiny static program rather than guess.
set -u
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '.globl _start\n_start:\n movl $1,%%eax\n xorl %%ebx,%%ebx\n int $0x80\n' > "$dir/exit.s"
as --32 "$dir/exit.s" -o "$dir/exit.o" 2>/dev/null || exit 1
ld -m elf_i386 "$dir/exit.o" -o "$dir/exit32" 2>/dev/null || exit 1
"$dir/exit32" 2>/dev/null
